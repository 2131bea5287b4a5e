#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "console/console.h"
#include "console/status.h"
#include "core/fatal.h"
#include "core/heaps.h"
#include "app/lifecycle.h"

TEST(FormatProgress, ShowsDoneTotalPercentAndRate) {
  const int64_t MiB = 1024 * 1024;
  EXPECT_EQ(format_progress(12 * MiB + MiB / 2, 100 * MiB, 12.5 / 45.3),
            "  12.5 MiB / 100.0 MiB  12%  45.3 MiB/s");
  EXPECT_EQ(format_progress(0, 1000, 0), "  0 B / 1000 B  0%  0 B/s");
  EXPECT_EQ(format_progress(1000, 1000, 2), "  1000 B / 1000 B  100%  500 B/s");
  for (int64_t unknown : {0, -1}) EXPECT_EQ(format_progress(1536, unknown, 1), "  1.5 KiB  1.5 KiB/s");
  // Rounding up to the next unit reads as that unit.
  EXPECT_EQ(format_progress(1024 * 1024 - 1, 0, 1), "  1.0 MiB  1.0 MiB/s");
  EXPECT_EQ(format_progress(3 * MiB * MiB, 4 * MiB * MiB, 1), "  3.0 TiB / 4.0 TiB  75%  3.0 TiB/s");
  EXPECT_EQ(format_progress(INT64_MAX, INT64_MAX, 1).substr(0, 12), "  8388608.0 ");
  EXPECT_EQ(format_progress(-5, 10, 1), "  0 B / 10 B  0%  0 B/s");
}

namespace {
// An exit hook: says it ran and whether the allocation heap was still there for it.
void say_heap_kept() {
  const char* said = mem_alloc(16) ? "[hooks ran, heap kept]" : "[hooks ran, heap gone]";
  (void)!write(2, said, std::strlen(said));
}
}  // namespace

// The close event may come while the main flow uses any heap: it runs the exit hooks and
// ends the process with code 0, releasing nothing. Other events do nothing.
TEST(ConsoleCtrlHandlerDeathTest, OnlyTheCloseEventEndsTheProcessAndItReleasesNothing) {
  EXPECT_EXIT(
      {
        runtime_on_exit(say_heap_kept);
        runtime_start();
        bool ok = console_ctrl_handler(CONSOLE_CTRL_C_EVENT) == 0 &&
                  console_ctrl_handler(CONSOLE_BREAK_EVENT) == 0 && mem_alloc(16) != nullptr;
        if (!ok) _exit(3);
        console_ctrl_handler(CONSOLE_CLOSE_EVENT);
        _exit(4);
      },
      ::testing::ExitedWithCode(0), "\\[hooks ran, heap kept\\]");
}
