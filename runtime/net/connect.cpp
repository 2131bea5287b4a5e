#include "net/connect.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include "core/timing.h"
#include "net/deadline.h"
#include "net/shared_value.h"
#include "net/internal.h"
#include "net/net.h"
#include "platform/outcome.h"
#include "platform/socket.h"

namespace {

// Between two looks at a connect under way, the progress function is told.
constexpr uint32_t kConnectStepMs = 250;

std::atomic<uint32_t> g_limit_ms{0};

struct ConnectProgress {
  NetConnectProgressFn fn = nullptr;
  void* ctx = nullptr;
};
thread_local int32_t t_failure = NET_CONNECT_FAILED;

// The failure that the outcome of a failed connect tells.
int32_t failure_of(SysOutcome outcome) {
  switch (outcome) {
    case SysOutcome::refused: return NET_CONNECT_REFUSED;
    case SysOutcome::timed_out:
    case SysOutcome::host_unreachable: return NET_CONNECT_NO_ANSWER;
    case SysOutcome::network_unreachable: return NET_CONNECT_NO_NETWORK;
    default: return NET_CONNECT_FAILED;
  }
}

SharedValue<ConnectProgress> g_progress;

ConnectProgress current_progress() { return g_progress.get(); }

// The connect limit in force: the set one, else NET_CONNECT_LIMIT_MS.
uint32_t connect_limit() {
  uint32_t limit = g_limit_ms.load();
  return limit ? limit : NET_CONNECT_LIMIT_MS;
}

// Waits on the deadline in steps of kConnectStepMs, telling the progress function before
// each, for as long as step(ms) returns 0. Returns step's last other value, or -1 with
// outcome timed_out once the deadline passed.
template <typename Step>
int wait_on(const NetDeadline& deadline, const ConnectProgress& progress, Step step) {
  for (;;) {
    int slice = net_deadline_slice(deadline, static_cast<int>(kConnectStepMs));
    if (slice == 0) {
      sys_set_outcome(SysOutcome::timed_out);
      return -1;
    }
    if (progress.fn) progress.fn(net_deadline_waited(deadline), deadline.limit_ms, progress.ctx);
    int state = step(slice);
    if (state != 0) return state;
  }
}

// Finds where host is within the deadline. Returns false when nothing resolves or no
// answer came in time (outcome timed_out).
bool resolve_within(const char* host, const NetDeadline& deadline, const ConnectProgress& progress,
                    SockPeer* peer) {
  SockLookup* lookup = sock_lookup_start(host);
  if (!lookup) return false;
  int state = sock_lookup_wait(lookup, 0, peer);
  if (state == 0) state = wait_on(deadline, progress, [&](int ms) { return sock_lookup_wait(lookup, ms, peer); });
  sock_lookup_end(lookup);
  return state == 1;
}

// Connects fd to the peer on port within the deadline. Returns false when the connection
// failed or no answer came in time (outcome timed_out).
bool connect_within(SockFd fd, const SockPeer& peer, uint16_t port, const NetDeadline& deadline,
                    const ConnectProgress& progress) {
  int state = sock_connect_start(fd, peer, port);
  if (state == 0) state = wait_on(deadline, progress, [&](int ms) { return sock_connect_wait(fd, ms); });
  return state == 1;
}

}  // namespace

void net_set_connect_limit(uint32_t ms) { g_limit_ms.store(ms); }

int32_t net_connect_failure() { return t_failure; }

void net_set_connect_progress(NetConnectProgressFn fn, void* ctx) {
  g_progress.set(ConnectProgress{fn, ctx});
}

NetConnection* net_connect(const char* host, uint32_t port, int32_t kind) {
  ObjectRegistry* registry = net_server_registry();
  t_failure = NET_CONNECT_FAILED;
  if (!host || !registry || net_stopped()) return nullptr;
  // The look-up and the connect may take long: no lock is held for them. Both share one
  // deadline, and the progress function is told about both.
  NetDeadline deadline = net_deadline_start(connect_limit());
  ConnectProgress progress = current_progress();
  SockPeer peer;
  sys_set_outcome(SysOutcome::ok);
  if (!resolve_within(host, deadline, progress, &peer)) {
    // A name service that did not answer in time has not said the name is unknown.
    if (sys_outcome() != SysOutcome::timed_out) t_failure = NET_CONNECT_UNKNOWN_NAME;
    return nullptr;
  }
  bool tcp = kind == NET_KIND_TCP;
  if (!tcp && peer.ipv6) return nullptr;  // a UDP record holds an IPv4 address only
  SockFd fd = sock_open_for(peer, tcp ? SOCK_KIND_STREAM : SOCK_KIND_DATAGRAM);
  if (fd == SOCK_NONE) return nullptr;
  bool ready = tcp ? connect_within(fd, peer, static_cast<uint16_t>(port), deadline, progress) : sock_set_nonblocking(fd);
  if (!ready) {
    if (tcp) t_failure = failure_of(sys_outcome());
    sock_close(fd);
    return nullptr;
  }
  std::lock_guard<std::recursive_mutex> hold(registry->lock);
  auto* connection =
      net_stopped()
          ? nullptr
          : static_cast<NetConnection*>(list_insert(
                net_outgoing_list(), static_cast<int32_t>(sizeof(ListNode) + sizeof(NetConnection))));
  if (!connection) {
    sock_close(fd);
    return nullptr;
  }
  if (tcp)
    *connection = NetConnection{NET_KIND_TCP, 0, net_socket_word(fd), nullptr, 0, nullptr, 0};
  else
    *connection = NetConnection{
        NET_KIND_UDP, peer.ipv4, static_cast<int32_t>(port), nullptr, net_socket_word(fd), nullptr, 0};
  return connection;
}

NetConnection* net_connect_tcp(const char* host, uint32_t port) {
  return net_connect(host, port, NET_KIND_TCP);
}
