#include "platform/power.h"

#include "platform/windows/win_util.h"

namespace {
// How many handles the thread holds: the system's mark is the thread's, so only the last
// one given back clears it.
thread_local int t_held = 0;
}  // namespace

int power_keep_awake(const char*) {
  if (SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) == 0) return -1;
  return ++t_held;
}

void power_allow_sleep(int handle) {
  if (handle < 0 || t_held == 0) return;
  if (--t_held == 0) SetThreadExecutionState(ES_CONTINUOUS);
}
