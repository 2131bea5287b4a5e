// Linked into the quick builds of the programs only: before main runs, the runtime's
// sleep is replaced by one kQuickTimeFactor times as short. The clock stays the real one,
// so what is timed with it (the reception's idle rule, when the status line appears)
// behaves as in the real programs.
#include "tests/quick/quick_time.h"

#include <chrono>
#include <thread>

#include "platform/clock.h"

namespace {

// Sleeps a fraction of ms; like the real sleep, a signal does not cut it short.
void quick_sleep(uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms / kQuickTimeFactor));
}

struct InstallQuickSleep {
  InstallQuickSleep() { clock_set_sleep(quick_sleep); }
} g_install;

}  // namespace
