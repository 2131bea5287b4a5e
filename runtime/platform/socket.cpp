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

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <vector>

#include "platform/sys_retry.h"

namespace {

// Moves a descriptor that landed on 0, 1 or 2 (a program started with a standard stream
// closed) above them, so a socket number is never 0 and never a standard stream.
int above_standard_streams(int fd) {
  if (fd < 0 || fd > 2) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  sock_close(fd);
  return moved;
}

sockaddr_in ipv4(uint32_t address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = address;
  return sa;
}

}  // namespace

void sock_ignore_broken_pipe() { signal(SIGPIPE, SIG_IGN); }

int sock_open(int kind) {
  int type = kind == SOCK_KIND_STREAM ? SOCK_STREAM : SOCK_DGRAM;
  return above_standard_streams(socket(AF_INET, type | SOCK_CLOEXEC, 0));
}

void sock_close(int fd) {
  if (fd < 0) return;
  int saved = errno;
  close(fd);  // not retried: on Linux the descriptor is gone even after EINTR
  errno = saved;
}

bool sock_set_nonblocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags != -1 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) != -1;
}

bool sock_bind_any(int fd, uint16_t port, uint16_t* bound_port) {
  int type = 0;
  socklen_t type_len = sizeof type;
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &type_len) == -1) return false;
  if (type == SOCK_STREAM) {
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == -1) return false;
  }
  sockaddr_in sa = ipv4(htonl(INADDR_ANY), port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == -1) return false;
  socklen_t len = sizeof sa;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == -1) return false;
  if (bound_port) *bound_port = ntohs(sa.sin_port);
  return true;
}

bool sock_listen(int fd, int backlog) { return listen(fd, backlog) == 0; }

int sock_accept(int fd) {
  int client = sys_retry([&] { return accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC); });
  return above_standard_streams(client);
}

int64_t sock_receive_from(int fd, void* buffer, size_t capacity, uint32_t* address, uint16_t* port) {
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

int64_t sock_receive(int fd, void* buffer, size_t length, bool peek) {
  int flags = MSG_DONTWAIT | (peek ? MSG_PEEK : 0);
  return sys_retry([&] { return recv(fd, buffer, length, flags); });
}

int64_t sock_send(int fd, const void* buffer, size_t length, bool more) {
  int flags = MSG_NOSIGNAL | (more ? MSG_MORE : 0);
  return sys_retry([&] { return send(fd, buffer, length, flags); });
}

int64_t sock_send_file_bytes(int fd, int file, int64_t offset, size_t length) {
  off_t at = static_cast<off_t>(offset);
  return sys_retry([&] { return sendfile(fd, file, &at, length); });
}

int64_t sock_bytes_waiting(int fd) {
  int waiting = 0;
  if (ioctl(fd, FIONREAD, &waiting) == -1) return -1;
  return waiting;
}

int sock_wait(int fd, bool for_write, int timeout_ms) {
  pollfd p{fd, static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
  int n = sys_retry([&] { return poll(&p, 1, timeout_ms); });
  return n < 0 ? -1 : (n > 0 ? 1 : 0);
}

int sock_wait_any_readable(const int* fds, size_t count, int timeout_ms) {
  if (count == 0) return 0;
  std::vector<pollfd> polls(count);
  for (size_t i = 0; i < count; ++i) polls[i] = pollfd{fds[i], POLLIN, 0};
  int n = sys_retry([&] { return poll(polls.data(), polls.size(), timeout_ms); });
  return n < 0 ? -1 : (n > 0 ? 1 : 0);
}

bool sock_error_means_closed(int err) {
  return err == ECONNABORTED || err == ECONNRESET || err == ENOTCONN || err == ESHUTDOWN || err == EPIPE;
}

bool sock_resolve_ipv4(const char* host, uint32_t* address) {
  in_addr_t dotted = inet_addr(host);
  if (dotted != INADDR_NONE) {
    *address = dotted;
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found) return false;
  uint32_t first = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  if (first == INADDR_NONE) return false;
  *address = first;
  return true;
}

bool sock_connect_ipv4(int fd, uint32_t address, uint16_t port) {
  sockaddr_in sa = ipv4(address, port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return true;
  if (errno != EINTR) return false;
  // A connect cut short by a signal goes on in the background: wait for its outcome.
  if (sock_wait(fd, true, -1) != 1) return false;
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == -1) return false;
  errno = err;
  return err == 0;
}

namespace {

// A pipe as large as an ordinary user may make it: fewer trips per megabyte.
constexpr int kMoverPipeBytes = 1 << 20;

// Writes every byte that sits in the pipe into file. Where the file cannot take spliced
// bytes they are read out of the pipe and written the ordinary way.
bool pipe_to_file(SockFileMover* mover, int file, size_t length) {
  while (length > 0) {
    ssize_t n = sys_retry([&] { return splice(mover->pipe_read, nullptr, file, nullptr, length, SPLICE_F_MOVE); });
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

}  // namespace

bool sock_mover_open(SockFileMover* mover) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  mover->pipe_read = above_standard_streams(fds[0]);
  mover->pipe_write = above_standard_streams(fds[1]);
  fcntl(mover->pipe_write, F_SETPIPE_SZ, kMoverPipeBytes);  // a smaller pipe works too
  int size = fcntl(mover->pipe_write, F_GETPIPE_SZ);
  mover->capacity = size > 0 ? static_cast<size_t>(size) : 4096;
  if (mover->pipe_read < 0 || mover->pipe_write < 0) {
    sock_mover_close(mover);
    return false;
  }
  return true;
}

void sock_mover_close(SockFileMover* mover) {
  sock_close(mover->pipe_read);
  sock_close(mover->pipe_write);
  mover->pipe_read = mover->pipe_write = -1;
}

int64_t sock_move_to_file(SockFileMover* mover, int fd, int file, size_t length) {
  length = std::min(length, mover->capacity);
  ssize_t n = sys_retry([&] {
    return splice(fd, nullptr, mover->pipe_write, nullptr, length, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
  });
  if (n <= 0) return n;
  return pipe_to_file(mover, file, static_cast<size_t>(n)) ? n : -1;
}

bool sock_is_nonblocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags != -1 && (flags & O_NONBLOCK) != 0;
}
