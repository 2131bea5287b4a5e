// A small model of a terminal screen for tests: it interprets the bytes a program wrote
// (printable text, CR, LF, BS, erase-in-line, clear screen) and leaves the lines a user
// would see, and the window title last set. Other escape sequences (modes, colours) are
// skipped.
#pragma once
#include <string>
#include <vector>

class Screen {
 public:
  void feed(const std::string& bytes);

  // The lines since the last clear, trailing blanks removed; the cursor's line included.
  std::vector<std::string> lines() const;
  std::string text() const;
  // The window title last set (OSC 0 or 2), empty when none was.
  const std::string& title() const { return title_; }

 private:
  void put(char c);
  size_t cursor_byte() const;  // where the cursor's column starts in its line
  void escape_done(const std::string& sequence);

  std::vector<std::string> rows_{std::string()};
  size_t row_ = 0, col_ = 0;
  std::string title_;
  enum class State { kText, kEsc, kCsi, kOsc } state_ = State::kText;
  std::string sequence_;
};
