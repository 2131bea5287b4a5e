#include "net/connect.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>

#include "core/timing.h"
#include "net/internal.h"
#include "net/net.h"
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

// The failure that errno after a failed connect tells.
int32_t failure_of(int err) {
  switch (err) {
    case ECONNREFUSED: return NET_CONNECT_REFUSED;
    case ETIMEDOUT:
#ifdef EHOSTDOWN
    case EHOSTDOWN:
#endif
    case EHOSTUNREACH: return NET_CONNECT_NO_ANSWER;
    case ENETDOWN:
    case ENETUNREACH: return NET_CONNECT_NO_NETWORK;
    default: return NET_CONNECT_FAILED;
  }
}

std::mutex g_progress_lock;
ConnectProgress g_progress;

// Connects fd to the peer on port, waiting at most the limit for an answer. Returns false
// when the connection failed or no answer came in time (errno ETIMEDOUT).
bool connect_within_limit(int fd, const SockPeer& peer, uint16_t port) {
  int state = sock_connect_start(fd, peer, port);
  uint32_t limit = g_limit_ms.load();
  if (limit == 0) limit = NET_CONNECT_LIMIT_MS;
  ConnectProgress progress;
  {
    std::lock_guard<std::mutex> hold(g_progress_lock);
    progress = g_progress;
  }
  uint32_t started = elapsed_ms();
  while (state == 0) {
    uint32_t waited = elapsed_ms() - started;  // unsigned: right across the clock's wrap
    if (waited >= limit) {
      errno = ETIMEDOUT;
      return false;
    }
    if (progress.fn) progress.fn(waited, limit, progress.ctx);
    state = sock_connect_wait(fd, static_cast<int>(std::min(kConnectStepMs, limit - waited)));
  }
  return state == 1;
}

}  // namespace

void net_set_connect_limit(uint32_t ms) { g_limit_ms.store(ms); }

int32_t net_connect_failure() { return t_failure; }

void net_set_connect_progress(NetConnectProgressFn fn, void* ctx) {
  std::lock_guard<std::mutex> hold(g_progress_lock);
  g_progress = ConnectProgress{fn, ctx};
}

NetConnection* net_connect(const char* host, uint32_t port, int32_t kind) {
  ObjectRegistry* registry = net_server_registry();
  t_failure = NET_CONNECT_FAILED;
  if (!host || !registry || net_stopped()) return nullptr;
  // The look-up and the connect may take long: no lock is held for them.
  SockPeer peer;
  if (!sock_resolve(host, &peer)) {
    t_failure = NET_CONNECT_UNKNOWN_NAME;
    return nullptr;
  }
  bool tcp = kind == NET_KIND_TCP;
  if (!tcp && peer.ipv6) return nullptr;  // a UDP record holds an IPv4 address only
  int fd = sock_open_for(peer, tcp ? SOCK_KIND_STREAM : SOCK_KIND_DATAGRAM);
  if (fd < 0) return nullptr;
  bool ready = tcp ? connect_within_limit(fd, peer, static_cast<uint16_t>(port)) : sock_set_nonblocking(fd);
  if (!ready) {
    if (tcp) t_failure = failure_of(errno);
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
    *connection = NetConnection{NET_KIND_TCP, 0, fd, nullptr, 0, nullptr, 0};
  else
    *connection = NetConnection{NET_KIND_UDP, peer.ipv4, static_cast<int32_t>(port), nullptr, fd, nullptr, 0};
  return connection;
}

NetConnection* net_connect_tcp(const char* host, uint32_t port) {
  return net_connect(host, port, NET_KIND_TCP);
}
