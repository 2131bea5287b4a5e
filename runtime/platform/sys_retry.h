// The one place where system calls interrupted by a signal before they did anything are
// started again.
#pragma once
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

// Writes all n bytes, going on after partial and interrupted writes. Safe in a signal
// handler. Returns false when a write failed.
inline bool sys_write_all(int fd, const void* bytes, size_t n) {
  const char* p = static_cast<const char*>(bytes);
  while (n > 0) {
    ssize_t w = sys_retry([&] { return ::write(fd, p, n); });
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}
