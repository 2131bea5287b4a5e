#include "console/status.h"

#include <cmath>
#include <cstring>

#include "console/console_internal.h"
#include "console/display.h"
#include "platform/terminal.h"

namespace {
std::atomic<bool> g_shown{false};
constexpr char kErase[] = "\r\x1b[K";

std::string format_amount(long double bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(static_cast<long long>(std::llround(bytes))) + " B";
  long double value = bytes / 1024;
  int unit = 0;
  // Choose the unit on the rounded value, so that 1023.96 KiB reads 1.0 MiB.
  while (unit < 3 && std::llround(value * 10) >= 10240) {
    value /= 1024;
    ++unit;
  }
  long long tenths = std::llround(value * 10);
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " " + kUnits[unit];
}
}  // namespace

void console_status_erase_shown() {
  if (!g_shown.exchange(false)) return;
  term_write_all(console_out_fd(), kErase, sizeof kErase - 1);
  console_column.store(0);
  console_line_text().clear();
}

bool console_status_forget_shown() { return g_shown.exchange(false); }

bool console_status_possible() { return console_out_tty(); }

void console_status_show(const char* text) {
  if (!console_out_tty()) return;
  std::lock_guard<std::mutex> hold(console_output_lock());
  std::string line = "\r";
  int used = 0;
  if (text) line += console_visible(text, std::strlen(text), console_width() - 1, &used);
  line += "\x1b[K";
  term_write_all(console_out_fd(), line.data(), line.size());
  console_column.store(used);
  console_line_text().clear();  // the status line took the line's place
  g_shown.store(true);
}

void console_status_below(const char* text) {
  if (!console_out_tty()) return;
  std::lock_guard<std::mutex> hold(console_output_lock());
  // Save the cursor, one line down at its start, the text, erase the rest, cursor back.
  std::string line = "\x1b" "7\n\r";
  int used = 0;
  if (text) line += console_visible(text, std::strlen(text), console_width() - 1, &used);
  line += "\x1b[K\x1b" "8";
  term_write_all(console_out_fd(), line.data(), line.size());
}

std::atomic<void (*)()> console_input_idle_fn{nullptr};
std::atomic<int32_t> console_input_idle_ms{0};

void console_set_input_idle(void (*fn)(), int32_t interval_ms) {
  console_input_idle_ms.store(interval_ms > 0 ? interval_ms : 250);
  console_input_idle_fn.store(fn);
}

void console_status_clear() {
  std::lock_guard<std::mutex> hold(console_output_lock());
  console_status_erase_shown();
}

std::string format_progress(int64_t done, int64_t total, double seconds) {
  if (done < 0) done = 0;
  double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  std::string text = "  " + format_amount(static_cast<long double>(done));
  if (total > 0) {
    auto percent = static_cast<int64_t>(static_cast<long double>(done) * 100 / total);
    text += " / " + format_amount(static_cast<long double>(total)) + "  " + std::to_string(percent) + "%";
  }
  return text + "  " + format_amount(rate) + "/s";
}
