// Server endpoints and event polling. A server is a listening TCP socket on every local
// interface, IPv6 and IPv4 alike (IPv4 alone where the system has no IPv6), or a bound UDP
// socket on every local IPv4 interface, kept under a number in the server registry. The
// program polls again and again; each poll looks once at every server and its
// connections and reports at most one event, without ever waiting.
#pragma once
#include <cstdint>

#include "core/list.h"

constexpr int32_t NET_KIND_TCP = 1;
constexpr int32_t NET_KIND_UDP = 2;

// Event codes of net_server_poll.
constexpr int32_t NET_EVENT_NONE = 0;        // nothing happened
constexpr int32_t NET_EVENT_CONNECT = 1;     // a TCP server took a new client
constexpr int32_t NET_EVENT_DATA = 2;        // bytes wait that are not a transfer, or a datagram came
constexpr int32_t NET_EVENT_FILE = 3;        // the eight letters that open a transfer wait
constexpr int32_t NET_EVENT_DISCONNECT = 4;  // a TCP connection was found closed and released
constexpr int32_t NET_EVENT_ABORTED = 5;     // one found aborted by its peer (a reset) and released

constexpr int32_t NET_PEEK_CLOSED = -2;
constexpr int32_t NET_LISTEN_BACKLOG = 100;
constexpr int32_t NET_DATAGRAM_MAX = 2048;

// An IPv4 socket address as it goes to the system: family 2, port and address in network
// byte order, eight zero bytes.
struct NetAddress {
  uint16_t family;
  uint16_t port;
  uint32_t address;
  uint8_t zero[8];
};

// The socket of a live TCP server that no longer takes clients.
constexpr int32_t NET_NOT_LISTENING = -1;

struct NetServer {
  int32_t socket;      // non-zero exactly while the server is live; NET_NOT_LISTENING once stopped
  NetAddress address;  // any address and the port actually bound (also when 0 was asked for)
  int32_t kind;
  int64_t number;         // the number it was created under; its identity when made dynamically
  ListNode* connections;  // NetConnection elements, newest first
  bool ipv4_only;         // TCP: takes IPv4 clients alone (no IPv6 here, or its own user holds the rest)
};

// One accepted TCP client, one UDP peer of a server, or one outgoing connection.
struct NetConnection {
  int32_t kind;
  uint32_t peer_address;  // UDP: the peer's IPv4 address, network byte order
  int32_t socket;         // TCP: the socket; UDP: the peer's port, host byte order
  NetServer* server;      // the owning server; null for an outgoing connection
  int32_t udp_socket;     // outgoing UDP only: the socket
  uint8_t* data;          // UDP peers: every datagram received so far, back to back
  int32_t data_length;
};

// Creates a server under number (0 or more, or REGISTRY_DYNAMIC) on port (0: the system
// picks one) of kind NET_KIND_TCP or NET_KIND_UDP. A live server already under that
// number is closed first, with its connections, even when the new creation fails.
// Returns 0 on failure (also for a port above 65535); on success the new number for a
// dynamic server, otherwise the server's socket, never 0.
int64_t net_server_create(int64_t number, uint32_t port, int32_t kind);
int64_t net_server_create_tcp(int64_t number, uint32_t port);

// True when the live server of number takes IPv4 clients alone.
bool net_server_ipv4_only(int64_t number);

// Closes the live server of number with all its connections. Nothing happens if there is
// none.
void net_server_close(int64_t number);

// Stops the live TCP server of number from taking clients: its listening socket is
// closed, so clients still waiting to be taken are refused (a reset), while the
// connections it took stay as they are. Nothing happens if there is none.
void net_server_stop_listening(int64_t number);

// Looks once at every server: first for new TCP clients and datagrams (servers in number
// order, dynamic ones oldest first), then for waiting bytes and closed connections (the
// newest connection of a server first). Returns the first event found, or NET_EVENT_NONE.
// Never waits; takes no byte of a TCP connection. When accepting fails for lack of
// descriptors or memory, no client is accepted for the next tenth of a second.
int32_t net_server_poll();

// The connection of the last event other than NET_EVENT_NONE. After
// NET_EVENT_DISCONNECT and NET_EVENT_ABORTED its record no longer exists: compare it, never use it.
NetConnection* net_event_connection();

// Closes one live connection of any kind and frees its record (and a UDP peer's data).
// After net_shutdown a connection that belonged to a server is already gone: the call then
// does nothing.
void net_connection_close(NetConnection* connection);

// Copies up to length waiting bytes of a TCP socket into buffer without taking them.
// Returns their count, 0 when nothing waits, NET_PEEK_CLOSED when the connection is closed.
int32_t net_peek(int32_t socket, int32_t length, void* buffer);

// Waits until a server or connection has something to read or has closed, or until
// timeout_ms passed. Returns 1 when something is ready, 0 on timeout or without servers.
// Holds no lock while it waits. While accepting pauses, waiting clients do not end the
// wait; the pause's end does.
int32_t net_server_wait(int32_t timeout_ms);
