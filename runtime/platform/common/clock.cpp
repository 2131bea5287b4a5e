#include "platform/clock.h"

#include <atomic>

#include "platform/common/system_clock.h"
#include "platform/common/test_helper.h"

namespace {
std::atomic<uint32_t (*)()> g_source{nullptr};
std::atomic<void (*)(uint32_t)> g_sleep{nullptr};
}  // namespace

uint32_t clock_ticks_ms() {
  if (auto source = g_source.load(std::memory_order_relaxed)) return source();
  return system_clock_ms();
}

void clock_set_source(uint32_t (*source)()) { g_source.store(source, std::memory_order_relaxed); }

void clock_set_sleep(void (*sleep)(uint32_t ms)) { g_sleep.store(sleep, std::memory_order_relaxed); }

void clock_sleep_ms(uint32_t ms) {
  if (auto sleep = g_sleep.load(std::memory_order_relaxed)) {
    sleep(ms);
    return;
  }
  system_sleep_ms(ms);
}
