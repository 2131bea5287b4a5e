#include <gtest/gtest.h>

#include "core/fatal.h"
#include "core/heaps.h"
#include "app/lifecycle.h"
#include "strings/area.h"
#include <unistd.h>

namespace {
void say_restored() { (void)!write(2, "[restored]", 10); }
}  // namespace

TEST(LifecycleDeathTest, StartAndExitEndWithCodeZeroAndRunTheExitHooks) {
  EXPECT_EXIT(
      {
        runtime_on_exit(say_restored);
        runtime_start();
        str_area_append("x");
        mem_alloc(100);  // left for the heap to release
        runtime_end();
        runtime_end();  // a second end does nothing
        runtime_exit();
      },
      ::testing::ExitedWithCode(0), "\\[restored\\]");
}

TEST(LifecycleDeathTest, FatalErrorRestoresThenStopsWithCodeOne) {
  EXPECT_EXIT(
      {
        runtime_on_exit(say_restored);
        fatal_error("out of memory (string heap)");
      },
      ::testing::ExitedWithCode(1), "\\[restored\\].*: out of memory \\(string heap\\)");
}
