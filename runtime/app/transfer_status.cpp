#include "app/transfer_status.h"

#include <string>

#include "console/status.h"
#include "core/timing.h"

namespace {

// Nothing is shown for the first half second: short transfers leave no trace.
constexpr uint32_t kQuietMs = 500;
// Redraws at most five times a second; the terminal is not the bottleneck.
constexpr uint32_t kRefreshMs = 200;
// No byte moved for this long: the transfer waits.
constexpr uint32_t kStalledMs = 1000;

struct TransferStatus {
  bool running = false;
  bool drawn = false;
  bool drawn_waiting = false;
  const char* waiting = nullptr;
  uint32_t wait_limit_ms = 0;
  uint32_t started = 0;
  uint32_t last_drawn = 0;
  int64_t last_done = 0;
  uint32_t last_moved = 0;
};
TransferStatus g_status;

}  // namespace

void transfer_status_begin(const char* waiting, uint32_t wait_limit_ms) {
  g_status = TransferStatus{};
  g_status.running = true;
  g_status.waiting = waiting;
  g_status.wait_limit_ms = wait_limit_ms;
  g_status.started = elapsed_ms();
  g_status.last_moved = g_status.started;
}

void transfer_status_wait(const char* waiting) { g_status.waiting = waiting; }

void transfer_status_update(int64_t done, int64_t total, void*) {
  if (!g_status.running) return;
  uint32_t now = elapsed_ms();
  uint32_t since_start = now - g_status.started;  // unsigned: right across the tick wrap
  if (done != g_status.last_done) {
    g_status.last_done = done;
    g_status.last_moved = now;
  }
  uint32_t stalled = now - g_status.last_moved;
  bool waiting = g_status.waiting && stalled >= kStalledMs;
  if (since_start < kQuietMs) return;
  if (g_status.drawn && now - g_status.last_drawn < kRefreshMs && waiting == g_status.drawn_waiting) return;
  std::string line = format_progress(done, total, since_start / 1000.0);
  if (waiting) {
    // The seconds waited, and when the wait ends: at the bound, or when the user says so.
    std::string limit = g_status.wait_limit_ms ? " von " + std::to_string((g_status.wait_limit_ms + 999) / 1000) + " s"
                                               : ", Strg+C bricht ab";
    line = std::string(g_status.waiting) + " " + std::to_string(stalled / 1000) + " s" + limit + line;
  }
  console_status_show(line.c_str());
  g_status.drawn = true;
  g_status.drawn_waiting = waiting;
  g_status.last_drawn = now;
}

void transfer_status_connecting(uint32_t waited_ms, uint32_t limit_ms, void*) {
  if (waited_ms < kQuietMs) return;
  std::string line = "Noch keine Antwort, versuche weiter ... " + std::to_string(waited_ms / 1000) +
                     " s von " + std::to_string((limit_ms + 999) / 1000) + " s";
  console_status_show(line.c_str());
  g_status.drawn = true;
}

void transfer_status_end() {
  if (g_status.drawn) console_status_clear();
  g_status = TransferStatus{};
}
