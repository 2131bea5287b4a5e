#include "console/console.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "console/console_internal.h"
#include "console/display.h"
#include "core/fatal.h"
#include "core/heaps.h"
#include "platform/process.h"
#include "platform/signals.h"
#include "platform/terminal.h"

namespace {
constexpr char kLineEnd[] = "\r\n";

// The console of this process: its descriptors, whether they are terminals, the raw mode,
// the exit code of a close event and the text on the current line. The close event's
// thread and signal handlers read only the atomics.
struct ConsoleState {
  StdStream in_fd = StdStream::input;
  StdStream out_fd = StdStream::output;
  bool in_tty = false;
  bool out_tty = false;
  std::atomic<int> raw{0};
  std::atomic<bool> opened{false};
  std::atomic<int32_t> close_status{0};
  std::string line_text;
};
ConsoleState g_console;

// Asked by the terminal's restore, also in signal handlers: leave a status line erased and
// the cursor at the start of a fresh line, so that the shell's prompt does not stand
// behind a question of ours. Touches only lock-free atomics.
const char* end_line_for_restore() {
  if (console_status_forget_shown()) {
    console_column.store(0);
    return "\r\x1b[K";
  }
  return console_column.exchange(0) != 0 ? kLineEnd : "";
}

// The close event, on the close thread.
void on_close_event() { console_ctrl_handler(CONSOLE_CLOSE_EVENT); }

// Raw output on a terminal: the visible form of the text clipped to the current width,
// then the line end when asked. Caller holds the output lock.
void write_raw_locked(const char* text, bool line_end) {
  console_status_erase_shown();
  std::string out;
  if (text) {
    int width = console_width();
    int used = 0;
    size_t n = std::strlen(text);
    out = console_visible(text, n, width, &used);
    // With auto-wrap off the cursor stops in the last column.
    console_column.store(std::min(console_column.load() + used, width - 1));
    if (!line_end) g_console.line_text += console_visible(text, n, INT_MAX, nullptr);
  }
  if (line_end) {
    out += kLineEnd;
    console_column.store(0);
    g_console.line_text.clear();
  }
  if (!out.empty()) term_write_all(g_console.out_fd, out.data(), out.size());
}
}  // namespace

std::atomic<int> console_column{0};

std::string& console_line_text() { return g_console.line_text; }

void console_end_line() {
  std::lock_guard<std::mutex> hold(console_output_lock());
  // Output into a pipe or a file gets its last line ended too, so a log does not end
  // inside a question.
  if (g_console.out_tty) console_status_erase_shown();
  if (console_column.load() == 0) return;
  term_write_all(g_console.out_fd, kLineEnd, sizeof kLineEnd - 1);
  console_column.store(0);
  g_console.line_text.clear();
}

StdStream console_in_fd() { return g_console.in_fd; }
StdStream console_out_fd() { return g_console.out_fd; }
bool console_in_tty() { return g_console.in_tty; }
bool console_out_tty() { return g_console.out_tty; }
int console_raw_value() { return g_console.raw.load(); }

std::mutex& console_output_lock() {
  static std::mutex lock;
  return lock;
}

std::mutex& console_input_lock() {
  static std::mutex lock;
  return lock;
}

int console_width() {
  int columns = term_columns(g_console.out_fd);
  return columns > 0 ? columns : 80;
}

void console_track(const char* bytes, size_t n) {
  size_t start = 0;
  bool reset = false;
  for (size_t i = n; i > 0; --i) {
    if (bytes[i - 1] == '\r' || bytes[i - 1] == '\n') {
      start = i;
      reset = true;
      break;
    }
  }
  int characters = 0;
  for (size_t i = start; i < n; ++i)
    if ((static_cast<unsigned char>(bytes[i]) & 0xC0) != 0x80) ++characters;
  console_column.store(reset ? characters : console_column.load() + characters);
}

void console_print_plain(const char* text) {
  if (!text) return;
  console_status_erase_shown();
  size_t n = std::strlen(text);
  console_write(text, static_cast<int32_t>(n));
  console_track(text, n);
  if (!g_console.out_tty) return;
  size_t start = n;
  while (start > 0 && text[start - 1] != '\r' && text[start - 1] != '\n') --start;
  std::lock_guard<std::mutex> hold(console_output_lock());
  if (start > 0) g_console.line_text.clear();
  g_console.line_text += console_visible(text + start, n - start, INT_MAX, nullptr);
}

void console_print_line_plain(const char* text) {
  size_t length = text ? std::strlen(text) : 0;
  size_t n = length + 2;
  char* block = static_cast<char*>(rt_alloc(n + 1));
  if (!block) return;
  // NOLINTNEXTLINE(bugprone-not-null-terminated-result): the line end's copy ends the text.
  if (length) std::memcpy(block, text, length);
  std::memcpy(block + length, kLineEnd, 3);
  console_status_erase_shown();
  console_write(block, static_cast<int32_t>(n));
  console_column.store(0);
  rt_free(block);
  if (!g_console.out_tty) return;
  std::lock_guard<std::mutex> hold(console_output_lock());
  g_console.line_text.clear();
}

void console_print_raw(const char* text) {
  if (!text) return;
  if (!g_console.out_tty) return console_print_plain(text);
  std::lock_guard<std::mutex> hold(console_output_lock());
  write_raw_locked(text, false);
}

void console_print_line_raw(const char* text) {
  if (!g_console.out_tty) return console_print_line_plain(text);
  std::lock_guard<std::mutex> hold(console_output_lock());
  write_raw_locked(text, true);
}

ConsoleOps console_ops = {console_print_plain, console_input_line_plain, console_print_line_plain,
                          console_read_key};

int32_t console_open() {
  if (g_console.opened.exchange(true)) return 1;
  g_console.in_tty = term_is_tty(g_console.in_fd);
  g_console.out_tty = term_is_tty(g_console.out_fd);
  term_open(g_console.in_fd, g_console.out_fd);
  term_set_line_hook(end_line_for_restore);
  runtime_on_exit(term_restore);
  signals_install(on_close_event);
  return 1;
}

int32_t console_title(const char* text) {
  if (!g_console.out_tty) return 0;
  // The title goes inside an escape sequence: a control byte in it would end it early.
  std::string sequence = "\x1b]0;";
  for (const char* p = text ? text : ""; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    sequence += c < 0x20 || c == 0x7F ? '?' : *p;
  }
  sequence += '\a';
  std::lock_guard<std::mutex> hold(console_output_lock());
  return term_write_all(g_console.out_fd, sequence.data(), sequence.size()) ? 1 : 0;
}

int32_t console_set_raw_mode(int32_t raw) {
  console_ops.inkey = console_read_key;
  if (raw) {
    console_ops.input_line = console_input_line_raw;
    console_ops.print = console_print_raw;
    console_ops.print_line = console_print_line_raw;
  } else {
    console_ops.input_line = console_input_line_plain;
    console_ops.print = console_print_plain;
    console_ops.print_line = console_print_line_plain;
  }
  g_console.raw.store(raw);
  std::lock_guard<std::mutex> hold(console_output_lock());
  bool raw_output = raw != 0 && g_console.out_tty;
  bool raw_input = raw != 0 && g_console.in_tty && g_console.out_tty;
  return term_set_mode(raw_input, raw_output) ? 1 : 0;
}

int32_t console_write(const void* bytes, int32_t count) {
  if (count <= 0) return 1;
  return term_write_all(g_console.out_fd, bytes, static_cast<size_t>(count)) ? 1 : 0;
}

void console_clear() {
  if (g_console.raw.load() == 0 || !g_console.out_tty) return;
  static constexpr char kClear[] = "\x1b[H\x1b[2J";
  std::lock_guard<std::mutex> hold(console_output_lock());
  console_status_erase_shown();
  term_write_all(g_console.out_fd, kClear, sizeof kClear - 1);
  console_column.store(0);
  g_console.line_text.clear();
}

int32_t console_ctrl_handler(int32_t event) {
  if (event == CONSOLE_CLOSE_EVENT) {
    // Only what can be seen from outside: the exit hooks put the terminal back and remove
    // a reception's temporary file, and the end of the process closes every socket. Nothing
    // is freed here: the main flow may be using any heap, record or socket right now.
    runtime_run_exit_hooks();
    process_exit_now(g_console.close_status.load());
  }
  return 0;
}

void console_set_close_status(int32_t status) { g_console.close_status.store(status); }
