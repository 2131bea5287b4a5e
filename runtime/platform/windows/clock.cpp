#include <mutex>

#include "platform/common/system_clock.h"
#include "platform/windows/win_util.h"

#include <timeapi.h>

uint32_t system_clock_ms() { return static_cast<uint32_t>(GetTickCount64()); }

void system_sleep_ms(uint32_t ms) {
  // Short pauses keep their length only with the system timer at 1 ms; raised once, for
  // the life of the process.
  static std::once_flag raised;
  std::call_once(raised, [] { timeBeginPeriod(1); });
  Sleep(ms);
}
