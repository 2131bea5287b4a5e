#include "console/keys.h"

#include "console/display.h"

namespace {
Key make(KeyKind kind, int consumed) {
  Key k{};
  k.kind = kind;
  k.consumed = consumed;
  return k;
}

Key text_key(const unsigned char* bytes, int length) {
  Key k = make(KEY_TEXT, length);
  for (int i = 0; i < length; ++i) k.text[i] = static_cast<char>(bytes[i]);
  k.text[length] = 0;
  k.length = length;
  return k;
}

// ESC [ ... : parameter and intermediate bytes 0x20-0x3F, one final byte 0x40-0x7E. The
// Linux console's F1-F5 are ESC [ [ letter.
Key decode_csi(const unsigned char* bytes, size_t n, bool final) {
  size_t i = 2;
  if (n > 2 && bytes[2] == '[') {
    if (n > 3) return make(KEY_IGNORED, 4);
    return final ? make(KEY_IGNORED, static_cast<int>(n)) : make(KEY_INCOMPLETE, 0);
  }
  for (; i < n; ++i) {
    unsigned char b = bytes[i];
    if (b >= 0x40 && b <= 0x7E) return make(KEY_IGNORED, static_cast<int>(i + 1));
    if (b < 0x20 || b > 0x3F) return make(KEY_IGNORED, static_cast<int>(i));  // broken off
  }
  return final ? make(KEY_IGNORED, static_cast<int>(n)) : make(KEY_INCOMPLETE, 0);
}
}  // namespace

Key key_decode(const unsigned char* bytes, size_t n, bool final) {
  if (n == 0) return make(KEY_INCOMPLETE, 0);
  unsigned char b = bytes[0];
  if (b == '\r') {
    // A CR LF that arrives in two reads is still one Enter: the byte after a CR decides.
    if (n == 1 && !final) return make(KEY_INCOMPLETE, 0);
    return make(KEY_ENTER, n > 1 && bytes[1] == '\n' ? 2 : 1);
  }
  if (b == '\n') return make(KEY_ENTER, 1);
  if (b == 0x7F || b == 0x08) return make(KEY_BACKSPACE, 1);
  if (b == 0x1B) {
    if (n == 1) return final ? make(KEY_ESCAPE, 1) : make(KEY_INCOMPLETE, 0);
    if (bytes[1] == '[') return decode_csi(bytes, n, final);
    if (bytes[1] == 'O') {  // SS3: F1-F4, keypad and application-mode arrows
      if (n > 2) return make(KEY_IGNORED, 3);
      return final ? make(KEY_IGNORED, 2) : make(KEY_INCOMPLETE, 0);
    }
    return make(KEY_ESCAPE, 1);  // Escape, then whatever follows is a key of its own
  }
  if (b < 0x80) return text_key(bytes, 1);  // printable, Tab, Ctrl+letter
  // A byte that starts no whole UTF-8 character (typed in another encoding) is a character
  // of its own: a path is bytes, and none of them is dropped.
  int length = console_utf8_length(b);
  if (length == 0) return text_key(bytes, 1);
  for (int i = 1; i < length; ++i) {
    if (static_cast<size_t>(i) >= n) return final ? text_key(bytes, 1) : make(KEY_INCOMPLETE, 0);
    if ((bytes[i] & 0xC0) != 0x80) return text_key(bytes, 1);
  }
  return text_key(bytes, length);
}
