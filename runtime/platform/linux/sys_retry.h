// The one place where system calls interrupted by a signal before they did anything are
// started again.
#pragma once
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

// Calls call() until it returns something other than -1 with errno EINTR; returns that.
template <typename Call>
auto sys_retry(Call call) -> decltype(call()) {
  for (;;) {
    auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

// Waits for the events asked on count descriptors; a signal resumes the wait. Returns what
// poll returns: the count of ready descriptors, 0 on timeout, -1 on failure.
inline int sys_poll(pollfd* fds, size_t count, int timeout_ms) {
  return sys_retry([&] { return ::poll(fds, count, timeout_ms); });
}

// Closes a descriptor; errno is kept as it was. Negative values do nothing. Not retried:
// on Linux the descriptor is gone even when close reports EINTR.
inline void sys_close(int fd) {
  if (fd < 0) return;
  int saved = errno;
  ::close(fd);
  errno = saved;
}

// Writes all n bytes, going on after partial and interrupted writes and waiting on a
// descriptor left non-blocking by whoever shares it. Safe in a signal handler. Returns
// false when a write failed (errno tells why; EIO for a write that took nothing).
inline bool sys_write_all(int fd, const void* bytes, size_t n) {
  const char* p = static_cast<const char*>(bytes);
  while (n > 0) {
    ssize_t w = sys_retry([&] { return ::write(fd, p, n); });
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd pfd{fd, POLLOUT, 0};
      sys_poll(&pfd, 1, 100);
      continue;
    }
    if (w <= 0) {
      if (w == 0) errno = EIO;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}
