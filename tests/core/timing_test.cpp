#include <gtest/gtest.h>

#include "core/timing.h"
#include "platform/clock.h"

namespace {

uint32_t g_fake_now;
uint32_t fake_clock() { return g_fake_now; }

struct FakeClock {
  FakeClock(uint32_t start) {
    g_fake_now = start;
    clock_set_source(fake_clock);
  }
  ~FakeClock() { clock_set_source(nullptr); }
};

}  // namespace

TEST(Timing, DifferencesStayRightAcrossTheWrap) {
  FakeClock clock(0xFFFFFF00u);
  uint32_t start = elapsed_ms();
  g_fake_now += 0x100 + 2900;  // wraps past zero
  EXPECT_LT(elapsed_ms(), start);
  EXPECT_EQ(static_cast<uint32_t>(elapsed_ms() - start), 3156u);
}

TEST(Timing, RealClockAdvancesAcrossADelay) {
  uint32_t start = elapsed_ms();
  delay_ms(20);
  uint32_t spent = elapsed_ms() - start;
  EXPECT_GE(spent, 20u);
  delay_ms(0);
}
