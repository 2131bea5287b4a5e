#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/common/buffered_mover.h"
#include "platform/common/fd.h"
#include "platform/linux/sys_retry.h"
#include "platform/outcome.h"
#include "platform/linux/test_helper.h"
#include "platform/common/system_net.h"

namespace {

std::atomic<bool> g_file_copy_allowed{true};

// Moves a descriptor that landed on 0, 1 or 2 (a program started with a standard stream
// closed) above them, so a socket number is never 0 and never a standard stream.
int above_standard_streams(int fd) {
  if (fd < 0 || fd > 2) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  sys_close(fd);
  return moved;
}

// Keeps a byte the peer sends as urgent data in the ordinary stream, at its place. Without
// it the byte would be taken out of the stream and a file's content would lose it.
int urgent_inline(int fd) {
  int on = 1;
  if (fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_OOBINLINE, &on, sizeof on) == -1) {
    sys_close(fd);
    return -1;
  }
  return fd;
}

// A new socket of the family and kind, or -1.
int open_socket(int family, int kind) {
  if (kind != SOCK_KIND_STREAM) return above_standard_streams(socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  return urgent_inline(above_standard_streams(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0)));
}

// True when a TCP socket bound to port for IPv6 (listening or not) belongs to another
// user than this process's, or when the system cannot say whose it is.
bool port_held_by_others(uint16_t port) {
  // The system's table of IPv6 TCP sockets: the local address and port (hex), the state
  // (0A listening, 07 bound alone) and the owner's user id in the eighth column.
  FILE* table = std::fopen("/proc/net/tcp6", "re");
  if (!table) return true;
  bool found = false, others = false;
  char line[512];
  while (!others && std::fgets(line, sizeof line, table)) {
    unsigned local_port = 0, state = 0, uid = 0;
    char local[64];
    if (std::sscanf(line, " %*s %63[0-9A-Fa-f]:%x %*s %x %*s %*s %*s %u", local, &local_port, &state, &uid) !=
        4)
      continue;
    if (local_port != port || (state != 0x0A && state != 0x07)) continue;
    found = true;
    others = uid != geteuid();
  }
  std::fclose(table);
  return others || !found;
}

}  // namespace

namespace {

// Spare descriptors. A server that accepts clients until the process has none left would
// leave a transfer on a client it accepted earlier none to work with (the file, its
// folder, the mover's pipe). So while a socket of this process listens, a few descriptors
// are held (as many as can be had), and every open mover frees them for its transfer until
// it is closed; once the last listening socket is closed they are freed.

// Enough for one reception: its file, the folder, the entry looked at, the pipe's two
// ends, with room to spare.
constexpr size_t kSpareDescriptors = 8;

struct Spare {
  std::mutex lock;
  std::vector<int> fds;
  std::vector<int> listeners;        // the listening sockets the spare descriptors are kept for
  std::atomic<size_t> listening{0};  // their count, read without the lock
  int lent = 0;                      // transfers running with the spare descriptors freed
};

Spare& spare() {
  static Spare s;
  return s;
}

void spare_take(Spare& s) {
  while (s.fds.size() < kSpareDescriptors) {
    // Each its own open file, so the spare counts against the system's limit too.
    int fd = above_standard_streams(sys_retry([] { return open("/dev/null", O_RDONLY | O_CLOEXEC); }));
    if (fd < 0) break;
    s.fds.push_back(fd);
  }
}

void spare_free(Spare& s) {
  for (int fd : s.fds) sys_close(fd);
  s.fds.clear();
}

void spare_note_listener(int fd) {
  Spare& s = spare();
  std::lock_guard<std::mutex> hold(s.lock);
  s.listeners.push_back(fd);
  s.listening = s.listeners.size();
  if (s.lent == 0) spare_take(s);
}

void spare_forget_listener(int fd) {
  Spare& s = spare();
  if (fd < 0 || s.listening.load() == 0) return;
  std::lock_guard<std::mutex> hold(s.lock);
  auto it = std::find(s.listeners.begin(), s.listeners.end(), fd);
  if (it == s.listeners.end()) return;
  s.listeners.erase(it);
  s.listening = s.listeners.size();
  if (s.listeners.empty()) spare_free(s);
}

}  // namespace

void sock_survive_closed_peers() { signal(SIGPIPE, SIG_IGN); }

SockFd sock_open(int kind) { return sock_fd(open_socket(AF_INET, kind)); }

SockFd sock_open_ipv6(int kind) { return sock_fd(open_socket(AF_INET6, kind)); }

void sock_close(SockFd fd) {
  spare_forget_listener(sys_fd(fd));
  sys_close(sys_fd(fd));
}

bool sock_set_abort_on_close(SockFd fd, bool abort) {
  linger how{abort ? 1 : 0, 0};
  return setsockopt(sys_fd(fd), SOL_SOCKET, SO_LINGER, &how, sizeof how) == 0;
}

bool sock_shutdown_send(SockFd fd) { return shutdown(sys_fd(fd), SHUT_WR) == 0; }

bool sock_peer_aborted(SockFd sock) {
  int fd = sys_fd(sock);
  // A reset is kept as the socket's pending error while received bytes are still read
  // first, so the error is asked for directly (which also clears it).
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err != 0) return true;
  char byte = 0;
  if (recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) != -1) return false;
  SysOutcome outcome = sys_outcome();
  return outcome == SysOutcome::closed || outcome == SysOutcome::reset;
}

bool sock_set_nonblocking(SockFd sock) {
  int fd = sys_fd(sock);
  int flags = fcntl(fd, F_GETFL);
  return flags != -1 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) != -1;
}

bool sock_bind_any(SockFd sock, uint16_t port, uint16_t* bound_port) {
  int fd = sys_fd(sock);
  int type = 0;
  socklen_t type_len = sizeof type;
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &type_len) == -1) return false;
  if (type == SOCK_STREAM) {
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == -1) return false;
  }
  int family = AF_INET;
  socklen_t family_len = sizeof family;
  if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &family, &family_len) == -1) return false;
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  if (family == AF_INET6) {
    // One socket for both: IPv4 peers arrive as mapped addresses, whatever the system's
    // default for new IPv6 sockets is.
    int off = 0;
    if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == -1) return false;
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(port);
    sa.sin6_addr = in6addr_any;
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == -1) {
      if (errno == EADDRINUSE && type == SOCK_STREAM && port != 0 && port_held_by_others(port))
        errno = EACCES;
      return false;
    }
  } else {
    SockPeer any;
    any.ipv4 = htonl(INADDR_ANY);
    sockaddr_storage sa{};
    socklen_t length = sock_peer_address(any, port, &sa);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), length) == -1) return false;
  }
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len) == -1) return false;
  uint16_t net_port = family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                         : reinterpret_cast<sockaddr_in*>(&bound)->sin_port;
  if (bound_port) *bound_port = ntohs(net_port);
  return true;
}

bool sock_listen(SockFd fd, int backlog) {
  if (listen(sys_fd(fd), backlog) != 0) return false;
  spare_note_listener(sys_fd(fd));
  return true;
}

SockFd sock_accept(SockFd fd) {
  int client = sys_retry([&] { return accept4(sys_fd(fd), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC); });
  return sock_fd(urgent_inline(above_standard_streams(client)));
}

int64_t sock_receive_from(SockFd sock, void* buffer, size_t capacity, uint32_t* address, uint16_t* port) {
  int fd = sys_fd(sock);
  sockaddr_in from{};
  socklen_t from_len = sizeof from;
  // MSG_TRUNC makes the call report a datagram's full length, so one that did not fit is
  // seen and dropped instead of being kept cut short.
  ssize_t n = sys_retry([&] {
    from_len = sizeof from;
    return recvfrom(fd, buffer, capacity, MSG_DONTWAIT | MSG_TRUNC, reinterpret_cast<sockaddr*>(&from),
                    &from_len);
  });
  if (n < 0) return -1;
  if (static_cast<size_t>(n) > capacity) {
    errno = EMSGSIZE;
    return -1;
  }
  if (address) *address = from.sin_addr.s_addr;
  if (port) *port = ntohs(from.sin_port);
  return n;
}

int64_t sock_receive(SockFd fd, void* buffer, size_t length, bool peek) {
  int flags = MSG_DONTWAIT | (peek ? MSG_PEEK : 0);
  return sys_retry([&] { return recv(sys_fd(fd), buffer, length, flags); });
}

int64_t sock_send(SockFd fd, const void* buffer, size_t length, bool more) {
  int flags = MSG_NOSIGNAL | (more ? MSG_MORE : 0);
  return sys_retry([&] { return send(sys_fd(fd), buffer, length, flags); });
}

void sock_allow_file_copy(bool allowed) { g_file_copy_allowed.store(allowed, std::memory_order_relaxed); }

int64_t sock_bytes_waiting(SockFd fd) {
  int waiting = 0;
  if (ioctl(sys_fd(fd), FIONREAD, &waiting) == -1) return -1;
  return waiting;
}

int sock_wait(SockFd fd, bool for_write, int timeout_ms) {
  pollfd p{sys_fd(fd), static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
  int n = sys_poll(&p, 1, timeout_ms);
  return n < 0 ? -1 : (n > 0 ? 1 : 0);
}

int sock_wait_any_readable(const SockFd* fds, size_t count, int timeout_ms) {
  if (count == 0) return 0;
  std::vector<pollfd> polls(count);
  for (size_t i = 0; i < count; ++i) polls[i] = pollfd{sys_fd(fds[i]), POLLIN, 0};
  int n = sys_poll(polls.data(), polls.size(), timeout_ms);
  return n < 0 ? -1 : (n > 0 ? 1 : 0);
}

namespace {

// Frees the spare descriptors for a transfer; paired with spare_take_back.
void spare_lend() {
  Spare& s = spare();
  std::lock_guard<std::mutex> hold(s.lock);
  ++s.lent;
  spare_free(s);
}

// Takes the spare descriptors again once no transfer has them lent, while a socket listens.
void spare_take_back() {
  Spare& s = spare();
  std::lock_guard<std::mutex> hold(s.lock);
  if (s.lent > 0) --s.lent;
  if (!s.listeners.empty() && s.lent == 0) spare_take(s);
}

}  // namespace

namespace {

// Makes the socket blocking again once its connection is made: senders hand a whole
// transfer to the system in blocking sends.
int connected(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != -1 ? 1 : -1;
}

}  // namespace

int sock_connect_start(SockFd sock, const SockPeer& peer, uint16_t port) {
  int fd = sys_fd(sock);
  sockaddr_storage storage{};
  socklen_t length = sock_peer_address(peer, port, &storage);
  // Without waiting, so the caller decides how long an address that never answers is
  // waited for; the system alone would wait minutes.
  if (!sock_set_nonblocking(sock)) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&storage), length) == 0) return connected(fd);
  return errno == EINPROGRESS || errno == EINTR ? 0 : -1;
}

int sock_connect_wait(SockFd sock, int timeout_ms) {
  int fd = sys_fd(sock);
  int ready = sock_wait(sock, true, timeout_ms);
  if (ready != 1) return ready;
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == -1) return -1;
  if (err != 0) {
    errno = err;
    return -1;
  }
  return connected(fd);
}

// The Linux mover: the system copies a file to a socket (sendfile) and a socket into a
// file through a pipe of the mover's own (splice); where it refuses either, the bytes go
// through a buffer instead.
struct SockFileMover {
  int pipe_read = -1;
  int pipe_write = -1;
  size_t capacity = 0;
  bool send_copy = true;  // sendfile not refused yet
  bool splice = true;     // splicing not refused yet
  bool pipe_tried = false;
  int64_t moved = 0;        // bytes moved into the file from its start
  int64_t written_back = 0;  // of them, those the system was asked to write to the disk
  MoverBuffer buffer;
};

namespace {

// A pipe as large as an ordinary user may make it: fewer trips per megabyte.
// The receiver asks the system to start writing received bytes to the disk after every
// this many, so little is left to flush when the file is complete.
constexpr int64_t kWritebackStep = int64_t{8} << 20;

// Asks the system to start writing the bytes moved into file since the last time to the
// disk, once there are kWritebackStep of them. A hint: failures are not reported.
void write_back(SockFileMover* mover, int file, int64_t n) {
  mover->moved += n;
  if (mover->moved - mover->written_back < kWritebackStep) return;
  int saved = errno;
  off_t from = static_cast<off_t>(mover->written_back);
  sync_file_range(file, from, static_cast<off_t>(mover->moved) - from, SYNC_FILE_RANGE_WRITE);
  errno = saved;
  mover->written_back = mover->moved;
}

constexpr int kMoverPipeBytes = 1 << 20;

// Writes every byte that sits in the pipe into file. Where the file cannot take spliced
// bytes they are read out of the pipe and written the ordinary way.
bool pipe_to_file(SockFileMover* mover, int file, size_t length) {
  while (length > 0) {
    ssize_t n =
        sys_retry([&] { return splice(mover->pipe_read, nullptr, file, nullptr, length, SPLICE_F_MOVE); });
    if (n < 0 && errno == EINVAL) {
      char buf[16384];
      n = sys_retry([&] { return read(mover->pipe_read, buf, std::min(length, sizeof buf)); });
      if (n <= 0 || !sys_write_all(file, buf, static_cast<size_t>(n))) return false;
    } else if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    length -= static_cast<size_t>(n);
  }
  return true;
}

// Takes bytes at the urgent mark the ordinary way and appends them to file. A splice stops
// short of the mark and reports an end or nothing waiting while bytes do wait; an ordinary receive
// takes the urgent byte (kept in the stream) with what follows, and splicing can go on
// behind it. Returns the count, 0 when the peer closed, -1 on failure.
int64_t receive_at_mark(int fd, int file, size_t length) {
  char buf[4096];
  ssize_t n = sys_retry([&] { return recv(fd, buf, std::min(length, sizeof buf), MSG_DONTWAIT); });
  if (n <= 0) return n;
  return sys_write_all(file, buf, static_cast<size_t>(n)) ? n : -1;
}

// Makes the mover's pipe. Returns false when it cannot be made.
bool open_pipe(SockFileMover* mover) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  mover->pipe_read = above_standard_streams(fds[0]);
  mover->pipe_write = above_standard_streams(fds[1]);
  fcntl(mover->pipe_write, F_SETPIPE_SZ, kMoverPipeBytes);  // a smaller pipe works too
  int size = fcntl(mover->pipe_write, F_GETPIPE_SZ);
  mover->capacity = size > 0 ? static_cast<size_t>(size) : 4096;
  if (mover->pipe_read < 0 || mover->pipe_write < 0) {
    sys_close(mover->pipe_read);
    sys_close(mover->pipe_write);
    mover->pipe_read = mover->pipe_write = -1;
    return false;
  }
  return true;
}

// Splices up to length bytes waiting on fd into file. Returns the count, 0 when the peer
// closed, -1 on failure (EINVAL: the socket cannot be spliced, nothing was taken).
int64_t splice_to_file(SockFileMover* mover, int fd, int file, size_t length) {
  length = std::min(length, mover->capacity);
  ssize_t n = sys_retry([&] {
    return splice(fd, nullptr, mover->pipe_write, nullptr, length, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
  });
  // At the urgent mark a splice takes nothing and says so either way: as an end (0) or as
  // nothing waiting. The mark tells it from a real end.
  if ((n == 0 || (n < 0 && errno == EAGAIN)) && sockatmark(fd) == 1) return receive_at_mark(fd, file, length);
  if (n <= 0) return n;
  return pipe_to_file(mover, file, static_cast<size_t>(n)) ? n : -1;
}

}  // namespace

SockFileMover* sock_mover_open() {
  auto* mover = new (std::nothrow) SockFileMover;
  if (mover) spare_lend();
  return mover;
}

void sock_mover_close(SockFileMover* mover) {
  if (!mover) return;
  sys_close(mover->pipe_read);
  sys_close(mover->pipe_write);
  delete mover;
  spare_take_back();
}

int64_t sock_send_from_file(SockFileMover* mover, SockFd fd, FileFd file, int64_t offset, size_t length) {
  if (mover->send_copy && g_file_copy_allowed.load(std::memory_order_relaxed)) {
    off_t at = static_cast<off_t>(offset);
    ssize_t n = sys_retry([&] { return sendfile(sys_fd(fd), sys_fd(file), &at, length); });
    if (n >= 0 || (errno != EINVAL && errno != ENOSYS)) return n;
  }
  mover->send_copy = false;  // this file or socket cannot be copied by the system
  return mover->buffer.send_from_file(fd, file, offset, length);
}

int64_t sock_receive_to_file(SockFileMover* mover, SockFd fd, FileFd file, size_t length) {
  if (mover->splice && !mover->pipe_tried) {
    mover->pipe_tried = true;
    mover->splice = open_pipe(mover);
  }
  int64_t n = -1;
  if (mover->splice) {
    n = splice_to_file(mover, sys_fd(fd), sys_fd(file), length);
    if (n < 0 && errno == EINVAL) mover->splice = false;  // this socket cannot be spliced: nothing was taken
  }
  if (!mover->splice) n = mover->buffer.receive_to_file(fd, file, length);
  if (n > 0) write_back(mover, sys_fd(file), n);
  return n;
}

bool sock_is_nonblocking(SockFd fd) {
  int flags = fcntl(sys_fd(fd), F_GETFL);
  return flags != -1 && (flags & O_NONBLOCK) != 0;
}
