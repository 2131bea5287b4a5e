#include "platform/clock.h"

#include <atomic>
#include <mutex>

#include "platform/windows/win_util.h"

#include <timeapi.h>

namespace {
std::atomic<uint32_t (*)()> g_source{nullptr};
std::atomic<void (*)(uint32_t)> g_sleep{nullptr};
}  // namespace

uint32_t clock_ticks_ms() {
  if (auto source = g_source.load(std::memory_order_relaxed)) return source();
  return static_cast<uint32_t>(GetTickCount64());
}

void clock_set_source(uint32_t (*source)()) { g_source.store(source, std::memory_order_relaxed); }

void clock_set_sleep(void (*sleep)(uint32_t ms)) { g_sleep.store(sleep, std::memory_order_relaxed); }

void clock_sleep_ms(uint32_t ms) {
  if (auto sleep = g_sleep.load(std::memory_order_relaxed)) {
    sleep(ms);
    return;
  }
  // Short pauses keep their length only with the system timer at 1 ms; raised once, for
  // the life of the process.
  static std::once_flag raised;
  std::call_once(raised, [] { timeBeginPeriod(1); });
  Sleep(ms);
}
