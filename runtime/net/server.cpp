#include "net/server.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/heaps.h"
#include "core/timing.h"
#include "net/allow.h"
#include "platform/clock.h"
#include "net/internal.h"
#include "net/net.h"
#include "net/transfer.h"
#include "platform/heap.h"
#include "platform/outcome.h"
#include "platform/socket.h"

namespace {

std::atomic<NetConnection*> g_event_conn{nullptr};

// When accepting fails for lack of descriptors or memory, the client stays waiting and
// the listening socket stays readable: trying again at once would spin. Accepting pauses
// for the time of one idle wait instead, and the waits leave listening sockets out.
constexpr uint32_t kAcceptPauseMs = 100;
std::atomic<bool> g_accept_paused{false};
std::atomic<uint32_t> g_accept_paused_at{0};

constexpr int32_t kConnectionElement = static_cast<int32_t>(sizeof(ListNode) + sizeof(NetConnection));
constexpr uint16_t kFamilyIpv4 = 2;

uint16_t network_order(uint16_t port) {
  uint8_t bytes[2] = {static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port & 0xff)};
  uint16_t value = 0;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

int32_t report(int32_t event, NetConnection* connection) {
  g_event_conn.store(connection);
  return event;
}

// Frees one record of a server's list, closing its socket first when it has one.
void drop_connection(NetServer* server, NetConnection* connection) {
  if (connection->kind == NET_KIND_TCP) sock_close(net_socket_of(connection->socket));
  net_connection_free_data(connection);
  list_remove(&server->connections, connection);
}

// Appends a datagram to a peer's bytes. Returns false, changing nothing, when the bytes
// cannot grow.
bool append_datagram(NetConnection* peer, const uint8_t* bytes, int32_t length) {
  if (peer->data_length > INT32_MAX - length) return false;
  size_t total = static_cast<size_t>(peer->data_length) + static_cast<size_t>(length);
  void* grown = peer->data ? heap_realloc(runtime_heap(), peer->data, total) : rt_alloc(total);
  if (!grown) return false;
  peer->data = static_cast<uint8_t*>(grown);
  std::memcpy(peer->data + peer->data_length, bytes, static_cast<size_t>(length));
  peer->data_length += length;
  return true;
}

// One datagram for a UDP server: stored with its peer. Returns the peer, or null when
// nothing came or it could not be stored.
NetConnection* take_datagram(NetServer* server) {
  uint8_t datagram[NET_DATAGRAM_MAX];
  uint32_t address = 0;
  uint16_t port = 0;
  int64_t n = sock_receive_from(net_socket_of(server->socket), datagram, sizeof datagram, &address, &port);
  if (n <= 0) return nullptr;
  NetConnection* peer = nullptr;
  for (ListNode* node = server->connections; node && !peer; node = node->next) {
    auto* c = static_cast<NetConnection*>(list_payload(node));
    if (c->socket == port && c->peer_address == address) peer = c;
  }
  bool made = false;
  if (!peer) {
    peer = static_cast<NetConnection*>(list_insert(&server->connections, kConnectionElement));
    if (!peer) return nullptr;
    *peer = NetConnection{NET_KIND_UDP, address, port, server, 0, nullptr, 0};
    made = true;
  }
  if (!append_datagram(peer, datagram, static_cast<int32_t>(n))) {
    if (made) list_remove(&server->connections, peer);
    return nullptr;
  }
  return peer;
}

// Milliseconds left of a pause of accepting, 0 when clients are accepted.
uint32_t accept_pause_left() {
  if (!g_accept_paused.load()) return 0;
  uint32_t gone = elapsed_ms() - g_accept_paused_at.load();
  if (gone < kAcceptPauseMs) return kAcceptPauseMs - gone;
  g_accept_paused.store(false);
  return 0;
}

void pause_accepting() {
  g_accept_paused_at.store(elapsed_ms());
  g_accept_paused.store(true);
}

// Resets the server's oldest connection that has sent nothing since it was taken longer
// than a reception waits for a byte, so that its descriptor serves a client still
// waiting: clients that connect and stay silent would otherwise keep every real sender
// out. A sender just taken keeps the time to begin. Returns false when there is none.
bool drop_oldest_silent(NetServer* server) {
  NetConnection* oldest = nullptr;
  uint32_t now = elapsed_ms();
  for (ListNode* node = server->connections; node; node = node->next) {
    auto* connection = static_cast<NetConnection*>(list_payload(node));
    char byte = 0;
    if (now - connection->accepted_ms > NET_RECEIVE_IDLE_MS && net_peek(connection->socket, 1, &byte) == 0)
      oldest = connection;  // the list is newest first
  }
  if (!oldest) return false;
  drop_connection(server, oldest);  // aborted: the client sees a reset
  return true;
}

// One accept attempt for a TCP server. Returns the new connection, or null.
NetConnection* take_client(NetServer* server) {
  if (accept_pause_left() > 0) return nullptr;
  SockFd fd = sock_accept(net_socket_of(server->socket));
  if (fd == SOCK_NONE && sys_outcome() == SysOutcome::exhausted && drop_oldest_silent(server))
    fd = sock_accept(net_socket_of(server->socket));
  if (fd == SOCK_NONE) {
    if (sys_outcome() == SysOutcome::exhausted) pause_accepting();
    return nullptr;
  }
  // A client that is never served, or whose transfer fails, learns it by a reset; one the
  // allow rules keep out gets it at once, before anything of it is taken.
  sock_set_abort_on_close(fd, true);
  if (!net_allow_admits(fd)) {
    sock_close(fd);
    return nullptr;
  }
  auto* connection = static_cast<NetConnection*>(list_insert(&server->connections, kConnectionElement));
  if (!connection) {
    sock_close(fd);
    pause_accepting();
    return nullptr;
  }
  *connection = NetConnection{NET_KIND_TCP, 0, net_socket_word(fd), server, 0, nullptr, 0};
  connection->accepted_ms = elapsed_ms();
  return connection;
}

// A non-blocking socket of the kind bound to every local interface on port. A TCP server
// takes IPv6 and IPv4 clients on one IPv6 socket; where the system has no IPv6, or a
// program of this process's own user holds the port for IPv6 alone, it takes IPv4
// clients alone (*ipv4_only), as a UDP server always does. A port whose IPv6 half another
// user holds is refused by the bind itself. Returns SOCK_NONE on failure (a port in use among
// them).
SockFd open_bound(int32_t kind, uint16_t port, uint16_t* bound, bool* ipv4_only) {
  *ipv4_only = true;
  if (kind == NET_KIND_TCP) {
    SockFd fd = sock_open_ipv6(SOCK_KIND_STREAM);
    if (fd != SOCK_NONE && sock_set_nonblocking(fd) && sock_bind_any(fd, port, bound)) {
      *ipv4_only = false;
      return fd;
    }
    // A port in use may be in use for IPv6 only: the IPv4 bind below tells. Any other
    // failure of IPv6 than its absence stays a failure.
    SysOutcome outcome = sys_outcome();
    bool no_ipv6 = outcome == SysOutcome::no_family;
    bool in_use = outcome == SysOutcome::address_in_use;
    sock_close(fd);
    if (!no_ipv6 && !in_use) return SOCK_NONE;
    if (in_use && port == 0) return SOCK_NONE;
  }
  SockFd fd = sock_open(kind == NET_KIND_TCP ? SOCK_KIND_STREAM : SOCK_KIND_DATAGRAM);
  if (fd != SOCK_NONE && sock_set_nonblocking(fd) && sock_bind_any(fd, port, bound)) return fd;
  sock_close(fd);
  return SOCK_NONE;
}

bool is_transfer_magic(const char* bytes, int32_t count) {
  return count == sizeof NET_TRANSFER_MAGIC &&
         std::memcmp(bytes, NET_TRANSFER_MAGIC, sizeof NET_TRANSFER_MAGIC) == 0;
}

}  // namespace

int64_t net_server_create(int64_t number, uint32_t port, int32_t kind) {
  ObjectRegistry* registry = net_server_registry();
  if (!registry || number < REGISTRY_DYNAMIC) return 0;
  std::lock_guard<std::recursive_mutex> hold(registry->lock);
  if (net_stopped()) return 0;
  auto* server = static_cast<NetServer*>(registry_acquire(registry, number));
  if (!server) return 0;
  SockFd fd = SOCK_NONE;
  auto fail = [&]() -> int64_t {
    sock_close(fd);
    // A dynamic element that never became live is given back at once.
    if (number == REGISTRY_DYNAMIC) registry_release(registry, registry_number_of(server));
    return 0;
  };
  if (port > 65535 || (kind != NET_KIND_TCP && kind != NET_KIND_UDP)) return fail();
  uint16_t bound = 0;
  bool ipv4_only = true;
  fd = open_bound(kind, static_cast<uint16_t>(port), &bound, &ipv4_only);
  if (fd == SOCK_NONE) return fail();
  if (kind == NET_KIND_TCP && !sock_listen(fd, NET_LISTEN_BACKLOG)) return fail();
  server->address = NetAddress{kFamilyIpv4, network_order(bound), 0, {}};
  server->kind = kind;
  server->connections = nullptr;
  server->number = number == REGISTRY_DYNAMIC ? registry_number_of(server) : number;
  server->socket = net_socket_word(fd);
  server->ipv4_only = ipv4_only;
  return number == REGISTRY_DYNAMIC ? server->number : server->socket;
}

bool net_server_ipv4_only(int64_t number) {
  ObjectRegistry* registry = net_server_registry();
  if (!registry) return false;
  std::lock_guard<std::recursive_mutex> hold(registry->lock);
  auto* server = static_cast<NetServer*>(registry_find(registry, number));
  return server && server->ipv4_only;
}

int64_t net_server_create_tcp(int64_t number, uint32_t port) {
  return net_server_create(number, port, NET_KIND_TCP);
}

void net_server_close(int64_t number) {
  ObjectRegistry* registry = net_server_registry();
  if (!registry) return;
  std::lock_guard<std::recursive_mutex> hold(registry->lock);
  auto* server = static_cast<NetServer*>(registry_find(registry, number));
  if (!server) return;
  for (ListNode* node = server->connections; node;) {
    ListNode* next = node->next;
    drop_connection(server, static_cast<NetConnection*>(list_payload(node)));
    node = next;
  }
  sock_close(net_socket_of(server->socket));
  registry_release(registry, number);
}

void net_server_stop_listening(int64_t number) {
  ObjectRegistry* registry = net_server_registry();
  if (!registry) return;
  std::lock_guard<std::recursive_mutex> hold(registry->lock);
  auto* server = static_cast<NetServer*>(registry_find(registry, number));
  if (!server || server->kind != NET_KIND_TCP || server->socket == NET_NOT_LISTENING) return;
  sock_close(net_socket_of(server->socket));
  server->socket = NET_NOT_LISTENING;
}

int32_t net_server_poll() {
  ObjectRegistry* registry = net_server_registry();
  if (!registry) return NET_EVENT_NONE;

  // First pass: new clients and datagrams.
  registry_iter_begin(registry);
  if (net_stopped()) {
    registry_iter_end(registry);
    return NET_EVENT_NONE;
  }
  int64_t number = 0;
  while (auto* server = static_cast<NetServer*>(registry_iter_next(registry, &number))) {
    if (server->socket == 0 || server->socket == NET_NOT_LISTENING) continue;  // nothing to take
    NetConnection* connection = server->kind == NET_KIND_TCP ? take_client(server) : take_datagram(server);
    if (!connection) continue;
    registry_iter_end(registry);
    return report(server->kind == NET_KIND_TCP ? NET_EVENT_CONNECT : NET_EVENT_DATA, connection);
  }

  // Second pass: waiting bytes and closed connections, newest connection first.
  registry_iter_begin(registry);
  if (net_stopped()) {
    registry_iter_end(registry);
    return NET_EVENT_NONE;
  }
  while (auto* server = static_cast<NetServer*>(registry_iter_next(registry, &number))) {
    if (server->socket == 0 || server->kind != NET_KIND_TCP) continue;
    for (ListNode* node = server->connections; node; node = node->next) {
      auto* connection = static_cast<NetConnection*>(list_payload(node));
      char bytes[8];
      sys_set_outcome(SysOutcome::ok);
      int32_t n = net_peek(connection->socket, sizeof bytes, bytes);
      if (n == 0) continue;
      // A sender that gave up before its first byte aborts: it did not leave in order.
      int32_t event = sys_outcome() == SysOutcome::reset ? NET_EVENT_ABORTED : NET_EVENT_DISCONNECT;
      if (n == NET_PEEK_CLOSED)
        drop_connection(server, connection);
      else
        event = is_transfer_magic(bytes, n) ? NET_EVENT_FILE : NET_EVENT_DATA;
      registry_iter_end(registry);
      return report(event, connection);
    }
  }
  return NET_EVENT_NONE;
}

NetConnection* net_event_connection() { return g_event_conn.load(); }

void net_connection_close(NetConnection* connection) {
  ObjectRegistry* registry = net_server_registry();
  if (!connection || !registry) return;
  std::lock_guard<std::recursive_mutex> hold(registry->lock);
  // After a shutdown only outgoing records are left; the others went with their server.
  bool outgoing = net_is_outgoing(connection);
  if (net_stopped() && !outgoing) return;
  if (outgoing) {
    sock_close(net_socket_of(connection->kind == NET_KIND_TCP ? connection->socket : connection->udp_socket));
    list_remove(net_outgoing_list(), connection);
  } else if (connection->server) {
    drop_connection(connection->server, connection);
  }
}

int32_t net_peek(int32_t socket, int32_t length, void* buffer) {
  if (length <= 0) return 0;
  int64_t n = sock_receive(net_socket_of(socket), buffer, static_cast<size_t>(length), true);
  if (n > 0) return static_cast<int32_t>(n);
  SysOutcome outcome = n == 0 ? SysOutcome::closed : sys_outcome();
  if (outcome == SysOutcome::closed || outcome == SysOutcome::reset) return NET_PEEK_CLOSED;
  return 0;
}

int32_t net_server_wait(int32_t timeout_ms) {
  ObjectRegistry* registry = net_server_registry();
  if (!registry) return 0;
  std::vector<SockFd> fds;
  uint32_t paused = accept_pause_left();
  registry_iter_begin(registry);
  if (net_stopped()) {
    registry_iter_end(registry);
    return 0;
  }
  bool any = false;
  while (auto* server = static_cast<NetServer*>(registry_iter_next(registry, nullptr))) {
    if (server->socket == 0) continue;
    any = true;
    if (server->kind != NET_KIND_TCP) {
      fds.push_back(net_socket_of(server->socket));
      continue;
    }
    // A paused listener is readable but not to be served.
    if (!paused && server->socket != NET_NOT_LISTENING) fds.push_back(net_socket_of(server->socket));
    for (ListNode* node = server->connections; node; node = node->next)
      fds.push_back(net_socket_of(static_cast<NetConnection*>(list_payload(node))->socket));
  }
  if (timeout_ms < 0) timeout_ms = 0;
  // While accepting pauses, the wait ends when the pause does, so accepting goes on then.
  if (paused)
    timeout_ms = static_cast<int32_t>(std::min<uint32_t>(paused, static_cast<uint32_t>(timeout_ms)));
  if (fds.empty()) {  // servers that take nothing now: the wait is a pause
    if (any) clock_sleep_ms(static_cast<uint32_t>(timeout_ms));
    return 0;
  }
  return sock_wait_any_readable(fds.data(), fds.size(), timeout_ms) == 1 ? 1 : 0;
}
