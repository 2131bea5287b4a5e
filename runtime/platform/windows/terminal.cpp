#include "platform/terminal.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>

#include "platform/windows/win_util.h"

// The console behind standard input and output. Text goes to it as UTF-16; the few
// terminal sequences the console layer writes (cursor home, clear, erase to the line's end,
// title, wrap and cursor on/off) are carried out here with the console's own calls. Keys
// come as key records and are handed on as the bytes a terminal sends for them: a
// character as UTF-8, Enter as CR, Backspace as BS, Escape as ESC; keys without a character
// (arrows, function keys) give nothing. Redirected streams are plain UTF-8 bytes.

namespace {
struct Saved {
  HANDLE handle = INVALID_HANDLE_VALUE;
  DWORD mode = 0;
  bool console = false;
};
// The console as found and the modes wanted, and the keys read but not yet handed out.
struct TerminalState {
  Saved in;
  Saved out;
  UINT found_output_cp = 0;
  UINT found_input_cp = 0;
  std::atomic<int> opened{0};
  std::atomic<int> want_raw_input{0};
  std::atomic<int> want_raw_output{0};
  std::atomic<bool> cursor_hidden{false};
  const char* (*volatile line_hook)() = nullptr;
  std::mutex write_lock;
  // Bytes of keys read but not yet handed out, and a high surrogate waiting for its pair.
  std::string key_bytes;
  wchar_t high_surrogate = 0;
};
TerminalState g_term;

bool is_console(HANDLE h) {
  DWORD mode = 0;
  return h != INVALID_HANDLE_VALUE && h && GetConsoleMode(h, &mode) != 0;
}

bool apply_modes(bool raw_input, bool raw_output) {
  bool ok = true;
  if (g_term.in.console) {
    DWORD mode = g_term.in.mode | ENABLE_PROCESSED_INPUT;
    if (raw_input) mode &= ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT);
    ok = SetConsoleMode(g_term.in.handle, mode) != 0 && ok;
  }
  if (g_term.out.console) {
    DWORD mode = g_term.out.mode | ENABLE_PROCESSED_OUTPUT;
    if (raw_output) mode &= ~static_cast<DWORD>(ENABLE_WRAP_AT_EOL_OUTPUT);
    ok = SetConsoleMode(g_term.out.handle, mode) != 0 && ok;
  }
  return ok;
}

void show_cursor(HANDLE h, bool visible) {
  CONSOLE_CURSOR_INFO info{};
  if (!GetConsoleCursorInfo(h, &info)) return;
  info.bVisible = visible;
  SetConsoleCursorInfo(h, &info);
  g_term.cursor_hidden = !visible;
}

void write_wide(HANDLE h, const std::string& text) {
  std::wstring wide = win_wide(text);
  const wchar_t* p = wide.data();
  size_t left = wide.size();
  while (left > 0) {
    DWORD written = 0;
    if (!WriteConsoleW(h, p, static_cast<DWORD>(std::min<size_t>(left, 8192)), &written, nullptr) ||
        written == 0)
      return;
    p += written;
    left -= written;
  }
}

// Fills count cells from at on with blanks in the current colours.
void blank(HANDLE h, COORD at, DWORD count, WORD attributes) {
  DWORD done = 0;
  FillConsoleOutputCharacterW(h, L' ', count, at, &done);
  FillConsoleOutputAttribute(h, attributes, count, at, &done);
}

// Carries out one control sequence: CSI with its parameters and final byte.
void control(HANDLE h, const std::string& params, char final) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(h, &info)) return;
  SMALL_RECT window = info.srWindow;
  if (final == 'H') {
    SetConsoleCursorPosition(h, COORD{window.Left, window.Top});
  } else if (final == 'J' && params == "2") {
    auto width = static_cast<DWORD>(info.dwSize.X);
    for (SHORT row = window.Top; row <= window.Bottom; ++row)
      blank(h, COORD{0, row}, width, info.wAttributes);
  } else if (final == 'K') {
    auto rest = static_cast<DWORD>(info.dwSize.X - info.dwCursorPosition.X);
    blank(h, info.dwCursorPosition, rest, info.wAttributes);
  } else if ((final == 'l' || final == 'h') && params == "?25") {
    show_cursor(h, final == 'h');
  } else if ((final == 'l' || final == 'h') && params == "?7") {
    DWORD mode = 0;
    if (!GetConsoleMode(h, &mode)) return;
    mode = final == 'h' ? mode | ENABLE_WRAP_AT_EOL_OUTPUT
                        : mode & ~static_cast<DWORD>(ENABLE_WRAP_AT_EOL_OUTPUT);
    SetConsoleMode(h, mode);
  }
}

// Writes text to the console, carrying out the sequences in it.
void write_console(HANDLE h, const char* bytes, size_t n) {
  std::lock_guard<std::mutex> hold(g_term.write_lock);
  std::string text;
  size_t i = 0;
  while (i < n) {
    if (bytes[i] != '\x1b' || i + 1 >= n) {
      text += bytes[i++];
      continue;
    }
    write_wide(h, text);
    text.clear();
    if (bytes[i + 1] == '[') {
      size_t end = i + 2;
      while (end < n && !(bytes[end] >= 0x40 && bytes[end] <= 0x7E)) ++end;
      if (end >= n) return;
      control(h, std::string(bytes + i + 2, end - i - 2), bytes[end]);
      i = end + 1;
    } else if (bytes[i + 1] == ']') {
      size_t end = i + 2;
      while (end < n && bytes[end] != '\a') ++end;
      std::string osc(bytes + i + 2, end - i - 2);
      if (osc.rfind("0;", 0) == 0) SetConsoleTitleW(win_wide(osc.substr(2)).c_str());
      i = end + 1;
    } else {
      i += 2;
    }
  }
  write_wide(h, text);
}

bool write_file(HANDLE h, const void* bytes, size_t n) {
  const char* p = static_cast<const char*>(bytes);
  while (n > 0) {
    DWORD written = 0;
    if (!WriteFile(h, p, static_cast<DWORD>(std::min<size_t>(n, 1 << 20)), &written, nullptr)) {
      win_set_outcome(GetLastError());
      return false;
    }
    if (written == 0) {
      sys_set_outcome(SysOutcome::other);
      return false;
    }
    p += written;
    n -= written;
  }
  return true;
}

void append_utf8(char32_t c) {
  if (c < 0x80) {
    g_term.key_bytes += static_cast<char>(c);
  } else if (c < 0x800) {
    g_term.key_bytes += static_cast<char>(0xC0 | (c >> 6));
    g_term.key_bytes += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    g_term.key_bytes += static_cast<char>(0xE0 | (c >> 12));
    g_term.key_bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    g_term.key_bytes += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    g_term.key_bytes += static_cast<char>(0xF0 | (c >> 18));
    g_term.key_bytes += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    g_term.key_bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    g_term.key_bytes += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The bytes of one input record appended to g_term.key_bytes; true when it gave any.
bool take_record(const INPUT_RECORD& record) {
  if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) return false;
  const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
  wchar_t c = key.uChar.UnicodeChar;
  if (c == 0 && key.wVirtualKeyCode == VK_ESCAPE) c = 0x1B;
  if (c == 0) return false;
  size_t before = g_term.key_bytes.size();
  for (WORD i = 0; i < std::max<WORD>(key.wRepeatCount, 1); ++i) {
    if (c >= 0xD800 && c < 0xDC00) {
      g_term.high_surrogate = c;
    } else if (c >= 0xDC00 && c < 0xE000) {
      if (g_term.high_surrogate) append_utf8(0x10000 + ((g_term.high_surrogate - 0xD800) << 10) + (c - 0xDC00));
      g_term.high_surrogate = 0;
    } else {
      append_utf8(c);
    }
  }
  return g_term.key_bytes.size() > before;
}

// Drops records at the head of the console's queue that give no bytes. True when the
// record now at the head gives some.
bool key_waiting(HANDLE h) {
  for (;;) {
    INPUT_RECORD record{};
    DWORD count = 0;
    if (!PeekConsoleInputW(h, &record, 1, &count) || count == 0) return false;
    std::string kept = g_term.key_bytes;
    wchar_t high = g_term.high_surrogate;
    bool gives = take_record(record);
    g_term.key_bytes = kept;
    g_term.high_surrogate = high;
    if (gives) return true;
    ReadConsoleInputW(h, &record, 1, &count);
  }
}

int64_t hand_out(void* bytes, size_t n) {
  size_t count = std::min(n, g_term.key_bytes.size());
  g_term.key_bytes.copy(static_cast<char*>(bytes), count);
  g_term.key_bytes.erase(0, count);
  return static_cast<int64_t>(count);
}

// Whether a pipe or file handle has bytes (or its end) to read now.
bool stream_ready(HANDLE h) {
  if (GetFileType(h) != FILE_TYPE_PIPE) return true;
  DWORD available = 0;
  if (!PeekNamedPipe(h, nullptr, 0, nullptr, &available, nullptr)) return true;  // ended
  return available > 0;
}
}  // namespace

bool term_is_tty(StdStream stream) { return is_console(win_handle(stream)); }

int term_columns(StdStream stream) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(win_handle(stream), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

bool term_open(StdStream input, StdStream output) {
  if (g_term.opened) return g_term.in.console || g_term.out.console;
  g_term.in.handle = win_handle(input);
  g_term.out.handle = win_handle(output);
  g_term.in.console = GetConsoleMode(g_term.in.handle, &g_term.in.mode) != 0;
  g_term.out.console = GetConsoleMode(g_term.out.handle, &g_term.out.mode) != 0;
  if (g_term.in.console || g_term.out.console) {
    g_term.found_output_cp = GetConsoleOutputCP();
    g_term.found_input_cp = GetConsoleCP();
    SetConsoleOutputCP(CP_UTF8);
    SetConsoleCP(CP_UTF8);
  }
  g_term.opened = 1;
  return g_term.in.console || g_term.out.console;
}

bool term_set_mode(bool raw_input, bool raw_output) {
  g_term.want_raw_input = raw_input && g_term.in.console;
  g_term.want_raw_output = raw_output && g_term.out.console;
  return apply_modes(g_term.want_raw_input, g_term.want_raw_output);
}

bool term_input_raw() { return g_term.want_raw_input != 0; }
bool term_output_raw() { return g_term.want_raw_output != 0; }

void term_set_line_hook(const char* (*hook)()) { g_term.line_hook = hook; }

void term_restore() {
  if (g_term.out.console && g_term.line_hook) {
    const char* end = g_term.line_hook();
    size_t n = 0;
    while (end && end[n]) ++n;
    if (n > 0) write_console(g_term.out.handle, end, n);
  }
  if (g_term.in.console) SetConsoleMode(g_term.in.handle, g_term.in.mode);
  if (g_term.out.console) {
    SetConsoleMode(g_term.out.handle, g_term.out.mode);
    if (g_term.cursor_hidden) show_cursor(g_term.out.handle, true);
  }
  if (g_term.found_output_cp) SetConsoleOutputCP(g_term.found_output_cp);
  if (g_term.found_input_cp) SetConsoleCP(g_term.found_input_cp);
}

void term_reapply() {
  if (g_term.want_raw_input || g_term.want_raw_output) apply_modes(g_term.want_raw_input, g_term.want_raw_output);
}

ssize_t term_read(StdStream stream, void* bytes, size_t n) {
  HANDLE h = win_handle(stream);
  if (n == 0) return 0;
  if (stream == StdStream::input && g_term.in.console && g_term.want_raw_input) {
    while (g_term.key_bytes.empty()) {
      INPUT_RECORD record{};
      DWORD count = 0;
      if (!ReadConsoleInputW(h, &record, 1, &count)) {
        win_set_outcome(GetLastError());
        return -1;
      }
      if (count == 1) take_record(record);
    }
    return hand_out(bytes, n);
  }
  if (is_console(h)) {
    if (g_term.key_bytes.empty()) {
      wchar_t line[1024];
      DWORD count = 0;
      if (!ReadConsoleW(h, line, 1024, &count, nullptr)) {
        win_set_outcome(GetLastError());
        return -1;
      }
      g_term.key_bytes = win_utf8(line, count);
    }
    return hand_out(bytes, n);
  }
  DWORD got = 0;
  if (!ReadFile(h, bytes, static_cast<DWORD>(std::min<size_t>(n, 1 << 20)), &got, nullptr)) {
    DWORD error = GetLastError();
    if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return 0;
    win_set_outcome(error);
    return -1;
  }
  return got;
}

bool term_write_all(StdStream stream, const void* bytes, size_t n) {
  HANDLE h = win_handle(stream);
  if (is_console(h)) {
    write_console(h, static_cast<const char*>(bytes), n);
    return true;
  }
  return write_file(h, bytes, n);
}

bool term_wait_readable(StdStream stream, int ms) {
  HANDLE h = win_handle(stream);
  ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(ms < 0 ? 0 : ms);
  for (;;) {
    if (stream == StdStream::input && !g_term.key_bytes.empty()) return true;
    bool console = is_console(h);
    if (console ? key_waiting(h) : stream_ready(h)) return true;
    ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    auto left = static_cast<DWORD>(deadline - now);
    if (console)
      WaitForSingleObject(h, left);
    else
      Sleep(std::min<DWORD>(left, 10));
  }
}

// Windows reports no signal events: only the input is waited for.
int term_wait_input(StdStream stream, int timeout_ms, int*) {
  if (timeout_ms >= 0) return term_wait_readable(stream, timeout_ms) ? 1 : 0;
  while (!term_wait_readable(stream, 1000)) {
  }
  return 1;
}
