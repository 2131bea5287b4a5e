// Addresses as people see them: this machine's, a connected peer's, and the text of
// both; the same on every system.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/socket.h"

// Kinds of this machine's addresses, in the order they are worth showing.
constexpr int LOCAL_ADDRESS_PRIVATE = 0;  // a private IPv4 address (10/8, 172.16/12, 192.168/16)
constexpr int LOCAL_ADDRESS_OTHER = 1;    // any other IPv4 address, a global or unique-local IPv6 one
constexpr int LOCAL_ADDRESS_VIRTUAL = 2;  // on a VPN, a tunnel, a bridge or a virtual machine's adapter

struct LocalAddress {
  std::string text;
  int kind;
};

// The addresses of this machine's interfaces that are up, by kind, each kind in the
// system's order; loopback and link-local addresses are left out. Empty when the system
// cannot tell.
std::vector<LocalAddress> local_addresses();

// The kind of address on an adapter (virtual: a VPN, tunnel, bridge or virtual machine's
// one), or -1 when it is left out (loopback, link-local, unspecified, multicast).
int local_address_kind(const SockPeer& address, bool virtual_adapter);

// True when an interface of that name is a VPN's, a tunnel's, a bridge's or a virtual
// machine's or container's by the names their makers give them.
bool local_interface_is_virtual(const char* name);

// This machine's host name; empty when the system cannot tell.
std::string local_host_name();

// The address of the peer of a connected socket, an IPv4 peer of an IPv6 socket as IPv4.
// Returns false on failure.
bool sock_peer_of(SockFd fd, SockPeer* peer);

// The address as text: dotted IPv4, or IPv6 in its short form.
std::string sock_address_text(const SockPeer& peer);

// Reads text as a numeric IPv4 or IPv6 address, never asking a name service. Returns false
// when it is none.
bool sock_parse_address(const char* text, SockPeer* peer);

// The name the name service gives for the address, waiting at most timeout_ms for it;
// empty when there is none or it takes longer (the look-up then ends on its own).
std::string sock_reverse_name(const SockPeer& peer, int timeout_ms);
