#include "console/display.h"

#include <algorithm>
#include <climits>

int console_utf8_length(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

namespace {
// Length of the valid UTF-8 character at p (at most n bytes), or 0.
size_t utf8_char(const unsigned char* p, size_t n) {
  size_t length = static_cast<size_t>(console_utf8_length(p[0]));
  if (length == 0 || length > n) return 0;
  // A character written with more bytes than it needs (a control byte in disguise) is none.
  if ((p[0] == 0xE0 && p[1] < 0xA0) || (p[0] == 0xF0 && p[1] < 0x90)) return 0;
  for (size_t i = 1; i < length; ++i)
    if ((p[i] & 0xC0) != 0x80) return 0;
  return length;
}
}  // namespace

std::string console_visible(const char* text, size_t n, int columns, int* used) {
  std::string out;
  int width = 0;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
  while (i < n) {
    unsigned char b = p[i];
    if (b < 0x20 || b == 0x7F) {
      if (width + 2 > columns) break;
      out += '^';
      out += static_cast<char>(b == 0x7F ? '?' : b + 0x40);
      width += 2;
      ++i;
      continue;
    }
    if (width + 1 > columns) break;
    if (b < 0x80) {
      out += static_cast<char>(b);
      ++i;
    } else if (size_t length = utf8_char(p + i, n - i); length == 0) {
      out += '?';
      ++i;
    } else {
      if (b == 0xC2 && p[i + 1] < 0xA0)
        out += '?';  // C1 control: terminals may act on it
      else
        out.append(text + i, length);
      i += length;
    }
    width += 1;
  }
  if (used) *used = width;
  return out;
}

int console_last_char(const char* text, size_t n, size_t* bytes) {
  if (n == 0) {
    *bytes = 0;
    return 0;
  }
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  unsigned char b = p[n - 1];
  if (b < 0x20 || b == 0x7F) {
    *bytes = 1;
    return 2;
  }
  size_t start = n - 1;
  while (start > 0 && n - start < 4 && (p[start] & 0xC0) == 0x80) --start;
  if (utf8_char(p + start, n - start) == n - start) {
    *bytes = n - start;
    return 1;
  }
  *bytes = 1;
  return 1;
}

int console_columns(const char* text, size_t n) {
  int used = 0;
  console_visible(text, n, INT_MAX, &used);
  return used;
}

std::string console_edit_line(const std::string& prompt, const char* text, size_t n, int width, int* cursor) {
  int limit = std::max(width - 1, 0);  // the last column stays free for the cursor
  int prompt_columns = console_columns(prompt.data(), prompt.size());
  int text_columns = console_columns(text, n);
  std::string out = "\r";
  int used = 0;
  if (prompt_columns + text_columns <= limit) {
    out += console_visible(prompt.data(), prompt.size(), limit, &used);
    int text_used = 0;
    out += console_visible(text, n, limit - used, &text_used);
    used += text_used;
  } else {
    int prompt_room = std::min(prompt_columns, limit - std::min(CONSOLE_EDIT_MIN_COLUMNS, limit));
    out += console_visible(prompt.data(), prompt.size(), prompt_room, &used);
    int room = limit - used;
    size_t start = 0;
    if (text_columns > room) {
      // Only the end fits: walk back from it, one whole character at a time.
      int marker = room >= 2 ? 1 : 0;
      int budget = room - marker;
      int taken = 0;
      start = n;
      while (start > 0) {
        size_t bytes = 0;
        int columns = console_last_char(text, start, &bytes);
        if (taken + columns > budget) break;
        taken += columns;
        start -= bytes;
      }
      if (marker) {
        out += '<';
        ++used;
      }
      room = budget;
    }
    int text_used = 0;
    out += console_visible(text + start, n - start, room, &text_used);
    used += text_used;
  }
  out += "\x1b[K";
  if (cursor) *cursor = used;
  return out;
}
