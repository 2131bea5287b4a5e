#include "platform/socket.h"

#include <io.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/common/buffered_mover.h"
#include "platform/common/fd.h"
#include "platform/common/system_net.h"
#include "platform/outcome.h"
#include "platform/windows/win_util.h"

// Winsock 2. A socket number is the SOCKET handle, which the system keeps small; it is
// never 0. Winsock cannot say whether a socket is non-blocking, so the sockets switched
// are noted here.

namespace {

std::mutex g_nonblocking_lock;
std::unordered_set<int> g_nonblocking;

SOCKET as_socket(SockFd fd) { return static_cast<SOCKET>(sys_fd(fd)); }

// Leaves the last Winsock error as the outcome; returns -1 (for counts) or false (for
// outcomes).
int fail() {
  win_set_socket_outcome(WSAGetLastError());
  return -1;
}
bool failed() { return fail() == 0; }

int open_socket(int family, int kind) {
  SOCKET s = socket(family, kind == SOCK_KIND_STREAM ? SOCK_STREAM : SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET) return fail();
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  if (kind == SOCK_KIND_STREAM) {
    // Urgent bytes stay in the stream at their place, so a file's content keeps them.
    BOOL on = TRUE;
    setsockopt(s, SOL_SOCKET, SO_OOBINLINE, reinterpret_cast<const char*>(&on), sizeof on);
  }
  return static_cast<int>(s);
}

// Ready now to be read, without waiting.
bool readable_now(SockFd fd) { return sock_wait(fd, false, 0) == 1; }

}  // namespace

void sock_survive_closed_peers() {
  // The system's socket layer is started once for the process and left running: its end
  // comes with the process. A send on a closed connection only ever fails here.
  static std::once_flag started;
  std::call_once(started, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  });
}

SockFd sock_open(int kind) {
  sock_survive_closed_peers();
  return sock_fd(open_socket(AF_INET, kind));
}

SockFd sock_open_ipv6(int kind) {
  sock_survive_closed_peers();
  return sock_fd(open_socket(AF_INET6, kind));
}

void sock_close(SockFd fd) {
  if (sys_fd(fd) < 0) return;
  {
    std::lock_guard<std::mutex> hold(g_nonblocking_lock);
    g_nonblocking.erase(sys_fd(fd));
  }
  closesocket(as_socket(fd));
}

bool sock_set_abort_on_close(SockFd fd, bool abort) {
  linger how{static_cast<u_short>(abort ? 1 : 0), 0};
  return setsockopt(as_socket(fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&how), sizeof how) ==
             0 ||
         failed();
}

bool sock_shutdown_send(SockFd fd) { return shutdown(as_socket(fd), SD_SEND) == 0 || failed(); }

bool sock_peer_aborted(SockFd fd) {
  int err = 0;
  int len = sizeof err;
  if (getsockopt(as_socket(fd), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) == 0 && err != 0)
    return true;
  // A reset makes the socket readable; a peek then fails with it.
  if (!readable_now(fd)) return false;
  char byte = 0;
  if (recv(as_socket(fd), &byte, 1, MSG_PEEK) != -1) return false;
  fail();
  SysOutcome outcome = sys_outcome();
  return outcome == SysOutcome::closed || outcome == SysOutcome::reset;
}

bool sock_set_nonblocking(SockFd fd) {
  u_long on = 1;
  if (ioctlsocket(as_socket(fd), FIONBIO, &on) != 0) return failed();
  std::lock_guard<std::mutex> hold(g_nonblocking_lock);
  g_nonblocking.insert(sys_fd(fd));
  return true;
}

bool sock_is_nonblocking(SockFd fd) {
  std::lock_guard<std::mutex> hold(g_nonblocking_lock);
  return g_nonblocking.count(sys_fd(fd)) != 0;
}

bool sock_bind_any(SockFd fd, uint16_t port, uint16_t* bound_port) {
  SOCKET s = as_socket(fd);
  WSAPROTOCOL_INFOW info{};
  int info_len = sizeof info;
  if (getsockopt(s, SOL_SOCKET, SO_PROTOCOL_INFOW, reinterpret_cast<char*>(&info), &info_len) != 0)
    return failed();
  if (info.iSocketType == SOCK_STREAM) {
    // No other program may bind the port while this server holds it.
    BOOL on = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
  }
  int result = 0;
  if (info.iAddressFamily == AF_INET6) {
    // One socket for both: IPv4 peers arrive as mapped addresses.
    DWORD off = 0;
    if (setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off), sizeof off) != 0)
      return failed();
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(port);
    sa.sin6_addr = in6addr_any;
    result = bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  } else {
    SockPeer any;
    any.ipv4 = htonl(INADDR_ANY);
    sockaddr_storage sa{};
    socklen_t length = sock_peer_address(any, port, &sa);
    result = bind(s, reinterpret_cast<sockaddr*>(&sa), length);
  }
  if (result != 0) return failed();
  sockaddr_storage bound{};
  int len = sizeof bound;
  if (getsockname(s, reinterpret_cast<sockaddr*>(&bound), &len) != 0) return failed();
  uint16_t net_port = bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                  : reinterpret_cast<sockaddr_in*>(&bound)->sin_port;
  if (bound_port) *bound_port = ntohs(net_port);
  return true;
}

bool sock_listen(SockFd fd, int backlog) { return listen(as_socket(fd), backlog) == 0 || failed(); }

SockFd sock_accept(SockFd fd) {
  SOCKET client = accept(as_socket(fd), nullptr, nullptr);
  if (client == INVALID_SOCKET) return sock_fd(fail());
  SetHandleInformation(reinterpret_cast<HANDLE>(client), HANDLE_FLAG_INHERIT, 0);
  BOOL on = TRUE;
  setsockopt(client, SOL_SOCKET, SO_OOBINLINE, reinterpret_cast<const char*>(&on), sizeof on);
  SockFd id = sock_fd(static_cast<int>(client));
  sock_set_nonblocking(id);
  return id;
}

int64_t sock_receive_from(SockFd fd, void* buffer, size_t capacity, uint32_t* address, uint16_t* port) {
  if (!sock_is_nonblocking(fd) && !readable_now(fd)) {
    sys_set_outcome(SysOutcome::would_block);
    return -1;
  }
  sockaddr_in from{};
  int from_len = sizeof from;
  int n = recvfrom(as_socket(fd), static_cast<char*>(buffer), static_cast<int>(capacity), 0,
                   reinterpret_cast<sockaddr*>(&from), &from_len);
  if (n < 0) return fail();  // a datagram longer than capacity fails
  if (address) *address = from.sin_addr.s_addr;
  if (port) *port = ntohs(from.sin_port);
  return n;
}

int64_t sock_receive(SockFd fd, void* buffer, size_t length, bool peek) {
  if (!sock_is_nonblocking(fd) && !readable_now(fd)) {
    sys_set_outcome(SysOutcome::would_block);
    return -1;
  }
  int chunk = static_cast<int>(std::min<size_t>(length, 1u << 30));
  int n = recv(as_socket(fd), static_cast<char*>(buffer), chunk, peek ? MSG_PEEK : 0);
  return n < 0 ? fail() : n;
}

int64_t sock_send(SockFd fd, const void* buffer, size_t length, bool) {
  int chunk = static_cast<int>(std::min<size_t>(length, 1u << 30));
  int n = send(as_socket(fd), static_cast<const char*>(buffer), chunk, 0);
  return n < 0 ? fail() : n;
}

// Under wine a plain send loop moves a file faster than the system's file-to-socket
// copy, so there is none: the callers read through their buffer.
int64_t sock_bytes_waiting(SockFd fd) {
  u_long waiting = 0;
  if (ioctlsocket(as_socket(fd), FIONREAD, &waiting) != 0) return fail();
  return static_cast<int64_t>(waiting);
}

int sock_wait(SockFd fd, bool for_write, int timeout_ms) {
  WSAPOLLFD p{as_socket(fd), static_cast<SHORT>(for_write ? POLLWRNORM : POLLRDNORM), 0};
  int n = WSAPoll(&p, 1, timeout_ms);
  if (n < 0) return fail();
  return n > 0 ? 1 : 0;
}

int sock_wait_any_readable(const SockFd* fds, size_t count, int timeout_ms) {
  if (count == 0) return 0;
  std::vector<WSAPOLLFD> polls(count);
  for (size_t i = 0; i < count; ++i) polls[i] = WSAPOLLFD{as_socket(fds[i]), POLLRDNORM, 0};
  int n = WSAPoll(polls.data(), static_cast<ULONG>(count), timeout_ms);
  if (n < 0) return fail();
  return n > 0 ? 1 : 0;
}

namespace {
// Makes the socket blocking again once its connection is made: senders hand a whole
// transfer to the system in blocking sends.
int connected(SockFd fd) {
  u_long off = 0;
  if (ioctlsocket(as_socket(fd), FIONBIO, &off) != 0) return fail();
  std::lock_guard<std::mutex> hold(g_nonblocking_lock);
  g_nonblocking.erase(sys_fd(fd));
  return 1;
}
}  // namespace

int sock_connect_start(SockFd fd, const SockPeer& peer, uint16_t port) {
  sockaddr_storage storage{};
  socklen_t length = sock_peer_address(peer, port, &storage);
  // Without waiting, so the caller decides how long an address that never answers is
  // waited for.
  if (!sock_set_nonblocking(fd)) return -1;
  if (connect(as_socket(fd), reinterpret_cast<sockaddr*>(&storage), length) == 0) return connected(fd);
  fail();
  return sys_outcome() == SysOutcome::would_block ? 0 : -1;
}

int sock_connect_wait(SockFd fd, int timeout_ms) {
  int ready = sock_wait(fd, true, timeout_ms);
  if (ready != 1) return ready;
  int err = 0;
  int len = sizeof err;
  if (getsockopt(as_socket(fd), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
    return fail();
  if (err != 0) {
    win_set_socket_outcome(err);
    return -1;
  }
  return connected(fd);
}

// No system copy between files and sockets: the mover takes large pieces through a buffer
// of its own, far fewer trips than the caller's small buffer.
struct SockFileMover {
  MoverBuffer buffer;
};

SockFileMover* sock_mover_open() { return new (std::nothrow) SockFileMover; }

void sock_mover_close(SockFileMover* mover) { delete mover; }

int64_t sock_send_from_file(SockFileMover* mover, SockFd fd, FileFd file, int64_t offset, size_t length) {
  return mover->buffer.send_from_file(fd, file, offset, length);
}

int64_t sock_receive_to_file(SockFileMover* mover, SockFd fd, FileFd file, size_t length) {
  return mover->buffer.receive_to_file(fd, file, length);
}
