// Where a connection goes, the same way on every system: a dotted IPv4 address as it is,
// else the system's name service; and the system's form of that address.
#include <cstring>
#include <string>

#include "platform/socket.h"
#include "platform/system_net.h"

namespace {

// The first address of family that a look-up of name gives, into *peer. numeric: name
// must be an address, no name service is asked. Returns false when there is none.
bool look_up(const std::string& name, int family, bool numeric, SockPeer* peer) {
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = numeric ? AI_NUMERICHOST : 0;
  addrinfo* found = nullptr;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
  *peer = SockPeer{};
  if (family == AF_INET) {
    peer->ipv4 = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  } else {
    auto* sa = reinterpret_cast<sockaddr_in6*>(found->ai_addr);
    peer->ipv6 = true;
    std::memcpy(peer->ipv6_bytes, &sa->sin6_addr, sizeof peer->ipv6_bytes);
    peer->scope = sa->sin6_scope_id;
  }
  freeaddrinfo(found);
  return true;
}

}  // namespace

bool sock_resolve(const char* host, SockPeer* peer) {
  sock_ignore_broken_pipe();  // the socket layer is up for the name service (Windows starts it here)
  auto dotted = inet_addr(host);
  if (dotted != INADDR_NONE) {
    *peer = SockPeer{};
    peer->ipv4 = dotted;
    return true;
  }
  std::string name(host);
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
    return look_up(name.substr(1, name.size() - 2), AF_INET6, true, peer);
  if (look_up(name, AF_INET, false, peer)) return peer->ipv4 != INADDR_NONE;
  return look_up(name, AF_INET6, false, peer);
}

socklen_t sock_peer_address(const SockPeer& peer, uint16_t port, sockaddr_storage* address) {
  *address = sockaddr_storage{};
  if (peer.ipv6) {
    auto* sa = reinterpret_cast<sockaddr_in6*>(address);
    sa->sin6_family = AF_INET6;
    sa->sin6_port = htons(port);
    std::memcpy(&sa->sin6_addr, peer.ipv6_bytes, sizeof peer.ipv6_bytes);
    sa->sin6_scope_id = peer.scope;
    return sizeof *sa;
  }
  auto* sa = reinterpret_cast<sockaddr_in*>(address);
  sa->sin_family = AF_INET;
  sa->sin_port = htons(port);
  sa->sin_addr.s_addr = peer.ipv4;
  return sizeof *sa;
}

int sock_open_for(const SockPeer& peer, int kind) {
  return peer.ipv6 ? sock_open_ipv6(kind) : sock_open(kind);
}
