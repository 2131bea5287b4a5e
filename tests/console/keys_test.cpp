#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/display.h"
#include "console/keys.h"

namespace {
Key decode(const std::string& bytes, bool final = false) {
  return key_decode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), final);
}

// Decodes all of the bytes as one burst, as the raw input does, and lists the keys.
std::vector<std::string> keys(const std::string& bytes) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < bytes.size()) {
    Key k = decode(bytes.substr(at), true);
    if (k.consumed <= 0) return {"stuck"};
    at += static_cast<size_t>(k.consumed);
    switch (k.kind) {
      case KEY_TEXT: out.emplace_back(k.text, static_cast<size_t>(k.length)); break;
      case KEY_ENTER: out.emplace_back("<enter>"); break;
      case KEY_BACKSPACE: out.emplace_back("<bs>"); break;
      case KEY_ESCAPE: out.emplace_back("<esc>"); break;
      case KEY_IGNORED: break;
      case KEY_INCOMPLETE: return {"incomplete"};
    }
  }
  return out;
}

using Keys = std::vector<std::string>;
}  // namespace

TEST(KeyDecode, SequencesOfCursorAndFunctionKeysAreDropped) {
  // Arrows (normal, application mode, modifiers), Home/End, Insert/Delete, Page keys,
  // F1-F12 (xterm, Linux).
  EXPECT_EQ(keys("\x1b[A\x1b[B\x1bOC\x1bOD\x1b[1;5C\x1b[H\x1b[F\x1b[1~\x1b[4~\x1b[2~\x1b[3~\x1b[5~\x1b[6~"
                 "\x1bOP\x1bOS\x1b[15~\x1b[24~\x1b[[A\x1b[[E"),
            Keys{});
  EXPECT_EQ(keys("a\x1b[Db"), (Keys{"a", "b"}));
}

TEST(KeyDecode, EnterBackspaceEscapeAndCharacters) {
  EXPECT_EQ(keys("\r\n\n\r\x7f\x08\t\x01"),
            (Keys{"<enter>", "<enter>", "<enter>", "<bs>", "<bs>", "\t", "\x01"}));
  EXPECT_EQ(keys("\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80z"),
            (Keys{"\xC3\xA4", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "z"}));
  // Escape followed by something that starts no sequence: Escape, then that key.
  EXPECT_EQ(keys("\x1bx\x1b\x1b"), (Keys{"<esc>", "x", "<esc>", "<esc>"}));
  // Bytes that start no whole character (another encoding) are characters of their own.
  EXPECT_EQ(keys("\xFC\x80\xC3q\xE2\x82"), (Keys{"\xFC", "\x80", "\xC3", "q", "\xE2", "\x82"}));
}

TEST(KeyDecode, UnfinishedBytesWaitUnlessNothingMoreComes) {
  // A lone CR waits too: the LF of a CR LF may come with the next read.
  for (std::string start : {"\x1b", "\x1b[", "\x1b[1;5", "\x1bO", "\x1b[[", "\xC3", "\xE2\x82", "\r"}) {
    SCOPED_TRACE(start);
    EXPECT_EQ(decode(start).kind, KEY_INCOMPLETE);
    Key final = decode(start, true);
    EXPECT_NE(final.kind, KEY_INCOMPLETE);
    EXPECT_GT(final.consumed, 0);
  }
  EXPECT_EQ(decode("\x1b", true).kind, KEY_ESCAPE);
  EXPECT_EQ(decode("\r", true).kind, KEY_ENTER);
  EXPECT_EQ(decode("\r\n").consumed, 2);
  EXPECT_EQ(decode("\x1b[1;5", true).kind, KEY_IGNORED);
  EXPECT_EQ(decode("").kind, KEY_INCOMPLETE);
  // A sequence broken off by a control byte ends there; the byte is a key of its own.
  EXPECT_EQ(keys("\x1b[1\r"), (Keys{"<enter>"}));
}

TEST(ConsoleVisible, ClipsByColumnsAndNeverSplitsACharacter) {
  int used = -1;
  EXPECT_EQ(console_visible("abcdef", 6, 4, &used), "abcd");
  EXPECT_EQ(used, 4);
  std::string umlauts = "\xC3\xA4\xC3\xB6\xC3\xBC\xE2\x82\xAC";
  EXPECT_EQ(console_visible(umlauts.data(), umlauts.size(), 3, &used), "\xC3\xA4\xC3\xB6\xC3\xBC");
  EXPECT_EQ(used, 3);
  EXPECT_EQ(console_visible(umlauts.data(), umlauts.size(), 10, &used), umlauts);
  EXPECT_EQ(used, 4);
  EXPECT_EQ(console_visible("abc", 3, 0, &used), "");
  EXPECT_EQ(console_visible("", 0, 5, nullptr), "");
}

TEST(ConsoleVisible, ControlBytesAreShownNotSent) {
  int used = 0;
  const char raw[] = "a\x1b]0;x\x07\r\n\x7f\x00z";
  std::string text(raw, sizeof raw - 1);
  EXPECT_EQ(console_visible(text.data(), text.size(), 80, &used), "a^[]0;x^G^M^J^?^@z");
  EXPECT_EQ(used, 18);
  // A caret form that would pass the width is left out whole.
  EXPECT_EQ(console_visible("ab\x1b", 3, 3, &used), "ab");
  EXPECT_EQ(used, 2);
  // C1 controls (U+009B is a CSI to some terminals), their overlong forms and those of C0
  // controls (ESC, CSI), and broken UTF-8 become '?'.
  std::string c1 =
      "\xC2\x9B"
      "1m\xC3(\xE2\x82\xC0\x9B\xE0\x82\x9B\xF0\x80\x80\x9B";
  EXPECT_EQ(console_visible(c1.data(), c1.size(), 80, &used),
            "?1m?(??"
            "??"
            "???"
            "????");
}
