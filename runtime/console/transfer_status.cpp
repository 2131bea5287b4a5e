#include "console/transfer_status.h"

#include <string>

#include "console/status.h"
#include "core/timing.h"

namespace {

// Nothing is shown for the first half second: short transfers leave no trace.
constexpr uint32_t kQuietMs = 500;
// Redraws at most five times a second; the terminal is not the bottleneck.
constexpr uint32_t kRefreshMs = 200;

struct TransferStatus {
  bool running = false;
  bool drawn = false;
  uint32_t started = 0;
  uint32_t last_drawn = 0;
};
TransferStatus g_status;

}  // namespace

void transfer_status_begin() {
  g_status = TransferStatus{};
  g_status.running = true;
  g_status.started = elapsed_ms();
}

void transfer_status_update(int64_t done, int64_t total, void*) {
  if (!g_status.running) return;
  uint32_t now = elapsed_ms();
  uint32_t since_start = now - g_status.started;  // unsigned: right across the tick wrap
  if (since_start < kQuietMs) return;
  if (g_status.drawn && now - g_status.last_drawn < kRefreshMs) return;
  std::string line = format_progress(done, total, since_start / 1000.0);
  console_status_show(line.c_str());
  g_status.drawn = true;
  g_status.last_drawn = now;
}

void transfer_status_end() {
  if (g_status.drawn) console_status_clear();
  g_status = TransferStatus{};
}
