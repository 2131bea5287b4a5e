// Turning the bytes a terminal sends for keys into keys. Pure: no I/O, so tests feed it.
#pragma once
#include <cstddef>

enum KeyKind {
  KEY_INCOMPLETE,  // the bytes may be the start of a longer key: wait for more
  KEY_TEXT,   // one character in text: a UTF-8 sequence, or a single byte (a control byte, a byte of another
              // encoding)
  KEY_ENTER,  // CR, LF or CR LF
  KEY_BACKSPACE,  // DEL or BS
  KEY_ESCAPE,     // a lone Escape
  KEY_IGNORED,    // an escape sequence (arrows, function keys, Home/End, ...)
};

struct Key {
  KeyKind kind;
  int consumed;  // bytes the key took from the front
  char text[5];  // KEY_TEXT: the character's bytes, zero-terminated
  int length;
};

// Decodes the first key of bytes[0..n). With final set no more bytes will come soon, so an
// unfinished sequence is decided now (a lone ESC is the Escape key) instead of reported as
// KEY_INCOMPLETE.
Key key_decode(const unsigned char* bytes, size_t n, bool final);
