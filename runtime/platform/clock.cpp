#include "platform/clock.h"

#include <atomic>
#include <cerrno>
#include <ctime>

namespace {
std::atomic<uint32_t (*)()> g_source{nullptr};
std::atomic<void (*)(uint32_t)> g_sleep{nullptr};
}  // namespace

uint32_t clock_ticks_ms() {
  if (auto source = g_source.load(std::memory_order_relaxed)) return source();
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void clock_set_source(uint32_t (*source)()) { g_source.store(source, std::memory_order_relaxed); }

void clock_set_sleep(void (*sleep)(uint32_t ms)) { g_sleep.store(sleep, std::memory_order_relaxed); }

void clock_sleep_ms(uint32_t ms) {
  if (auto sleep = g_sleep.load(std::memory_order_relaxed)) {
    sleep(ms);
    return;
  }
  timespec req{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  timespec rem{};
  while (nanosleep(&req, &rem) == -1 && errno == EINTR) req = rem;
}
