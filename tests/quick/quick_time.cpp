// Linked into the quick builds of the programs only: before main runs, the runtime's
// sleep is replaced by one kQuickTimeFactor times as short, and so are the longest waits
// for an address that does not answer and for a receiver that takes nothing. The clock
// stays the real one, so what is timed with it (the reception's idle rule, when the
// status line appears) behaves as in the real programs.
#include "tests/quick/quick_time.h"

#include <chrono>
#include <thread>

#include "net/connect.h"
#include "net/deadline.h"
#include "platform/clock.h"
#include "platform/common/test_helper.h"

namespace {

// Sleeps a fraction of ms; like the real sleep, a signal does not cut it short.
void quick_sleep(uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms / kQuickTimeFactor));
}

struct InstallQuickSleep {
  InstallQuickSleep() {
    clock_set_sleep(quick_sleep);
    net_set_connect_limit(NET_CONNECT_LIMIT_MS / kQuickTimeFactor);
    net_set_stall_limit(NET_STALL_LIMIT_MS / kQuickTimeFactor);
  }
} g_install;

}  // namespace
