#include <atomic>
#include <cstring>

#include "console/console.h"
#include "console/console_internal.h"
#include "console/display.h"
#include "console/keys.h"
#include "core/heaps.h"
#include "core/timing.h"
#include "platform/signals.h"
#include "platform/terminal.h"
#include "strings/area.h"

char* console_pipe_rest = nullptr;

namespace {
constexpr int32_t kBlock = 4096;
constexpr int32_t kLowWater = 512;
constexpr int kEscapeWaitMs = 50;

// What the line input keeps between calls.
struct ConsoleInput {
  // A CR was the last byte at hand when a redirected line ended: an LF that comes first in
  // the next read belongs to it. Guarded by the input lock.
  bool pending_cr = false;

  // Key bytes read from the terminal but not yet decoded.
  unsigned char keys[256] = {};
  size_t key_count = 0;

  // An Enter that came as a CR with nothing behind it is taken at once, without waiting
  // for a possible LF. The LF that comes next in the stream is the rest of that CR LF,
  // however late it is read, unless it was seen to arrive later than the escape wait
  // after the CR: quiet_ms is the last time the input was seen without it.
  bool lone_cr = false;
  uint32_t lone_cr_ms = 0;
  uint32_t quiet_ms = 0;

  // Set once a line input met the real end of the input: a file or pipe at its end, a
  // terminal that went away. A typed Ctrl+D is a character.
  std::atomic<bool> ended{false};
};
ConsoleInput g_input;

// Makes the text at buffer the one that tells that the input has ended.
void end_of_input(char* buffer, int32_t* length) {
  buffer[0] = CONSOLE_END_OF_INPUT;
  *length = 1;
  g_input.ended.store(true);
}

char* finish(char* buffer, int32_t reserved, int32_t length) {
  str_area_release(reserved - length);
  buffer[length] = 0;
  return buffer;
}

int32_t find_line_end(const char* buffer, int32_t from, int32_t length) {
  for (int32_t i = from; i < length; ++i)
    if (buffer[i] == '\r' || buffer[i] == '\n') return i;
  return -1;
}

// Redirected input: blocks of up to 4096 bytes straight onto the area, split at the first
// line end; only what lies behind it is copied into console_pipe_rest.
char* input_line_stream(int32_t pos) {
  int32_t reserved = kBlock;
  int32_t length = 0;
  char* buffer = str_area_reserve(kBlock, pos);
  std::lock_guard<std::mutex> hold(console_input_lock());
  if (console_pipe_rest) {
    int32_t rest = static_cast<int32_t>(std::strlen(console_pipe_rest));
    if (rest + kLowWater > reserved) {
      reserved = rest + kBlock;
      buffer = str_area_reserve(reserved, pos);
    }
    std::memcpy(buffer, console_pipe_rest, static_cast<size_t>(rest));
    length = rest;
    rt_free(console_pipe_rest);
    console_pipe_rest = nullptr;
  }
  int32_t free = reserved - length;
  int32_t scanned = 0;
  for (;;) {
    if (g_input.pending_cr && length > 0) {
      g_input.pending_cr = false;
      if (buffer[0] == '\n') {
        std::memmove(buffer, buffer + 1, static_cast<size_t>(length - 1));
        --length;
        ++free;
      }
    }
    int32_t end = find_line_end(buffer, scanned, length);
    if (end >= 0) {
      int32_t next = end + 1;
      if (buffer[end] == '\r') {
        if (next < length && buffer[next] == '\n')
          ++next;
        else if (next == length)
          g_input.pending_cr = true;
      }
      if (next < length) {
        auto size = static_cast<size_t>(length - next);
        console_pipe_rest = static_cast<char*>(rt_alloc(size + 1));
        if (console_pipe_rest) std::memcpy(console_pipe_rest, buffer + next, size);
      }
      return finish(buffer, reserved, end);
    }
    scanned = length;
    if (free < kLowWater) {
      free = kBlock;
      reserved = length + kBlock;
      buffer = str_area_reserve(reserved, pos);
    }
    ssize_t count = term_read(console_in_fd(), buffer + length, static_cast<size_t>(free));
    if (count > 0) {
      length += static_cast<int32_t>(count);
      free -= static_cast<int32_t>(count);
      continue;
    }
    // End of input, or a read that fails for good: a line without its end is still a
    // line; with nothing at hand the input has ended. (A failing input that returned an
    // empty line instead would keep a prompt asking for ever.)
    if (length == 0) end_of_input(buffer, &length);
    g_input.pending_cr = false;  // nothing more will come that could be the LF of a CR LF
    return finish(buffer, reserved, length);
  }
}

// Next key from the terminal. wait: block for the first byte; otherwise return
// KEY_INCOMPLETE at once when nothing is pending. Read failure or the end: KEY_INCOMPLETE
// with consumed -1. With events given, a resize or a resume that comes while it waits
// ends the wait: KEY_INCOMPLETE with consumed 0 and the events in *events.
Key next_key(bool wait, int* events = nullptr) {
  ConsoleInput& in = g_input;
  StdStream fd = console_in_fd();
  for (;;) {
    Key key = key_decode(in.keys, in.key_count, false);
    if (key.kind == KEY_INCOMPLETE && in.key_count > 0) {
      // The rest of an Escape sequence or a character comes within the escape wait; the
      // LF of a CR LF is taken from what is at hand only, so that Enter never waits.
      bool lone_cr = in.key_count == 1 && in.keys[0] == '\r';
      if (!term_wait_readable(fd, lone_cr ? 0 : kEscapeWaitMs)) {
        key = key_decode(in.keys, in.key_count, true);
        if (lone_cr) {
          in.lone_cr = true;
          in.lone_cr_ms = in.quiet_ms = elapsed_ms();
        }
      }
    }
    if (key.kind != KEY_INCOMPLETE) {
      auto used = static_cast<size_t>(key.consumed);
      std::memmove(in.keys, in.keys + used, in.key_count - used);
      in.key_count -= used;
      return key;
    }
    // Bytes found pending may have come at any time since the input was last seen empty;
    // bytes waited for come now.
    bool pending = term_wait_readable(fd, 0);
    if (!pending) {
      if (!wait && in.key_count == 0) {
        in.quiet_ms = elapsed_ms();
        return key;
      }
      // A status line drawn while the input waits is redrawn now and then; a key, a
      // resize or a resume ends that wait as they end the plain one.
      int woke = 0;
      while (events && woke == 0) {
        bool idling = console_input_idle_fn.load() != nullptr;
        woke = term_wait_input(fd, idling ? console_input_idle_ms.load() : -1, events);
        if (woke == 0)
          if (auto idle = console_input_idle_fn.load()) idle();
      }
      if (woke == 2) {
        if (*events) return key;
        continue;
      }
    }
    ssize_t n = term_read(fd, in.keys + in.key_count, sizeof in.keys - in.key_count);
    if (n <= 0) {
      key.consumed = -1;
      return key;
    }
    if (!pending) in.quiet_ms = elapsed_ms();
    bool rest_of_cr = in.lone_cr && in.key_count == 0 && in.keys[0] == '\n' &&
                      in.quiet_ms - in.lone_cr_ms <= static_cast<uint32_t>(kEscapeWaitMs);
    in.lone_cr = false;
    in.key_count += static_cast<size_t>(n);
    if (rest_of_cr) {
      --in.key_count;
      std::memmove(in.keys, in.keys + 1, in.key_count);
    }
  }
}

void write_locked(const std::string& bytes) { term_write_all(console_out_fd(), bytes.data(), bytes.size()); }

// The line being typed and what the screen shows of it. While prompt and text fit beside
// each other, keys are echoed one by one and Backspace steps back over them; once they do
// not, every change draws the line anew, scrolled to its end.
struct LineEdit {
  std::string prompt;  // what stood on the line before the input began
  int prompt_columns = 0;
  int text_columns = 0;  // the columns of the text typed so far
  bool whole = true;     // the screen shows prompt and text whole, from the prompt on
};

// Draws prompt and text anew for the current width. Caller holds the output lock.
void redraw_locked(LineEdit* edit, const char* text, int32_t count) {
  int width = console_width();
  int cursor = 0;
  write_locked(console_edit_line(edit->prompt, text, static_cast<size_t>(count), width, &cursor));
  console_column.store(cursor);
  edit->whole = edit->prompt_columns + edit->text_columns <= width - 1;
}
}  // namespace

char* console_input_line_plain(int32_t pos) {
  if (pos == -1) pos = str_area_top();
  if (!console_in_tty()) return input_line_stream(pos);
  char* buffer = str_area_reserve(kBlock, pos);
  ssize_t count = term_read(console_in_fd(), buffer, kBlock);
  int32_t length = 0;
  if (count <= 0) {
    end_of_input(buffer, &length);  // the terminal gone (or its end-of-file key, where it has one)
  } else {
    length = static_cast<int32_t>(count);
    if (buffer[length - 1] == '\n') {
      --length;
      if (length > 0 && buffer[length - 1] == '\r') --length;
      console_column.store(0);
    } else if (buffer[length - 1] == '\r') {
      // Typed ahead while the terminal was raw (CR not yet turned into LF), then handed
      // over as one line when line editing came back.
      --length;
      console_column.store(0);
    }
  }
  return finish(buffer, kBlock, length);
}

char* console_input_line_raw(int32_t pos) {
  if (!console_in_tty() || !console_out_tty()) {
    char* text = console_input_line_plain(pos);
    if (console_input_ended(text)) console_end_line();
    return text;
  }
  if (pos == -1) pos = str_area_top();
  // A character takes up to four bytes; one more for the zero.
  const int32_t reserved = CONSOLE_LINE_MAX + 5;
  str_area_reserve(reserved, pos);
  int32_t count = 0;
  LineEdit edit;
  {
    std::lock_guard<std::mutex> hold(console_output_lock());
    edit.prompt = console_line_text();
    edit.prompt_columns = console_columns(edit.prompt.data(), edit.prompt.size());
    edit.whole = edit.prompt_columns <= console_width() - 1;
  }
  for (;;) {
    int events = 0;
    Key key = next_key(true, &events);
    char* buffer = str_area_base() + pos;
    if (key.kind == KEY_INCOMPLETE && key.consumed == 0) {  // resized, or resumed after a stop
      std::lock_guard<std::mutex> hold(console_output_lock());
      redraw_locked(&edit, buffer, count);
      continue;
    }
    if (key.kind == KEY_INCOMPLETE) {  // the terminal is gone
      if (count == 0) end_of_input(buffer, &count);
      break;
    }
    if (key.kind == KEY_ENTER) {
      console_print_line_raw(nullptr);
      break;
    }
    if (key.kind == KEY_BACKSPACE) {
      size_t bytes = 0;
      int columns = console_last_char(buffer, static_cast<size_t>(count), &bytes);
      if (bytes == 0) continue;
      count -= static_cast<int32_t>(bytes);
      edit.text_columns -= columns;
      std::lock_guard<std::mutex> hold(console_output_lock());
      if (edit.whole) {
        std::string erase;
        for (int i = 0; i < columns; ++i) erase += "\b \b";
        write_locked(erase);
        console_column.store(console_column.load() - columns);
      } else {
        redraw_locked(&edit, buffer, count);
      }
      continue;
    }
    if (key.kind == KEY_ESCAPE) {
      key.text[0] = 0x1B;
      key.text[1] = 0;
      key.length = 1;
    } else if (key.kind != KEY_TEXT) {
      continue;
    }
    std::lock_guard<std::mutex> hold(console_output_lock());
    if (count + key.length > CONSOLE_LINE_MAX) {
      write_locked("\a");
      continue;
    }
    int columns = 0;
    std::string shown = console_visible(key.text, static_cast<size_t>(key.length), 2, &columns);
    std::memcpy(buffer + count, key.text, static_cast<size_t>(key.length));
    count += key.length;
    // A lone continuation byte may complete the bytes before it into one character, which
    // then shows in fewer columns than they did.
    bool joins = key.length == 1 && (static_cast<unsigned char>(key.text[0]) & 0xC0) == 0x80;
    int was = edit.text_columns;
    edit.text_columns = joins ? console_columns(buffer, static_cast<size_t>(count)) : was + columns;
    if (edit.whole && edit.text_columns == was + columns &&
        edit.prompt_columns + edit.text_columns <= console_width() - 1) {
      write_locked(shown);
      console_column.store(console_column.load() + columns);
    } else {
      redraw_locked(&edit, buffer, count);
    }
  }
  char* buffer = str_area_base() + pos;
  char* text = finish(buffer, reserved, count);
  if (console_input_ended(text)) console_end_line();
  return text;
}

bool console_input_at_end() { return g_input.ended.load(); }

char* console_read_key(int32_t pos) {
  char text[5] = {0};
  int32_t count = 0;
  if (console_in_tty()) {
    bool was_raw = term_input_raw();
    if (!was_raw) term_set_mode(true, term_output_raw());
    Key key = next_key(false);
    if (!was_raw) term_set_mode(false, term_output_raw());
    switch (key.kind) {
      case KEY_TEXT:
        std::memcpy(text, key.text, static_cast<size_t>(key.length));
        count = key.length;
        break;
      case KEY_ENTER: text[count++] = '\r'; break;
      case KEY_BACKSPACE: text[count++] = '\b'; break;
      case KEY_ESCAPE: text[count++] = 0x1B; break;
      default: break;
    }
  }
  char* buffer = str_area_reserve(count, pos);
  std::memcpy(buffer, text, static_cast<size_t>(count));
  buffer[count] = 0;
  return buffer;
}

bool console_input_ended(const char* text) {
  return text && text[0] == CONSOLE_END_OF_INPUT && text[1] == 0 && console_input_at_end();
}
