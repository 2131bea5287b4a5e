// The pause of the main flows. Differences of the millisecond clock across its wrap are
// covered where they matter: the reception's idle rule (tests/net/transfer_test.cpp).
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <thread>

#include "core/timing.h"
#include "platform/clock.h"

namespace {

void on_signal(int) {}

}  // namespace

TEST(Timing, RealClockAdvancesAcrossADelayThatSignalsDoNotCutShort) {
  struct sigaction sa = {}, old = {};
  sa.sa_handler = on_signal;  // no SA_RESTART: an interrupted sleep returns early
  sigaction(SIGUSR1, &sa, &old);
  pthread_t sleeper = pthread_self();
  std::atomic<bool> done{false};
  std::thread interrupter([&] {
    for (int i = 0; i < 40 && !done; ++i) {
      pthread_kill(sleeper, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  uint32_t start = elapsed_ms();
  clock_sleep_ms(100);
  uint32_t spent = elapsed_ms() - start;
  done = true;
  interrupter.join();
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_GE(spent, 100u);

  start = elapsed_ms();
  clock_sleep_ms(0);
  EXPECT_LT(static_cast<uint32_t>(elapsed_ms() - start), 50u) << "no delay returns at once";
}
