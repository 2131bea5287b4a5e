// The one place where system calls interrupted by a signal before they did anything are
// started again.
#pragma once
#include <cerrno>

// Calls call() until it returns something other than -1 with errno EINTR; returns that.
template <typename Call>
auto sys_retry(Call call) -> decltype(call()) {
  for (;;) {
    auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}
