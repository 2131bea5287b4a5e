#include "support/screen.h"

void Screen::feed(const std::string& bytes) {
  for (char c : bytes) {
    switch (state_) {
      case State::kText:
        if (c == '\x1b')
          state_ = State::kEsc, sequence_.clear();
        else
          put(c);
        break;
      case State::kEsc: state_ = c == '[' ? State::kCsi : c == ']' ? State::kOsc : State::kText; break;
      case State::kCsi:
        sequence_ += c;
        if (c >= 0x40 && c <= 0x7e) {
          escape_done(sequence_);
          state_ = State::kText;
        }
        break;
      case State::kOsc:  // a title: ends with BEL or ESC backslash
        if (c == '\a' || c == '\\') {
          if (sequence_.rfind("0;", 0) == 0 || sequence_.rfind("2;", 0) == 0) title_ = sequence_.substr(2);
          state_ = State::kText;
        } else if (c != '\x1b') {
          sequence_ += c;
        }
        break;
    }
  }
}

size_t Screen::cursor_byte() const {
  // Columns count characters, not bytes: skip the continuation bytes of UTF-8.
  const std::string& line = rows_[row_];
  size_t byte = 0;
  for (size_t seen = 0; byte < line.size(); ++byte) {
    if ((static_cast<unsigned char>(line[byte]) & 0xC0) == 0x80) continue;
    if (seen++ == col_) break;
  }
  return byte;
}

void Screen::put(char c) {
  if (c == '\r') {
    col_ = 0;
  } else if (c == '\n') {
    ++row_;
    if (rows_.size() <= row_) rows_.emplace_back();
  } else if (c == '\b') {
    if (col_ > 0) --col_;
  } else if (static_cast<unsigned char>(c) >= 0x20) {
    std::string& line = rows_[row_];
    size_t byte = cursor_byte();
    bool continuation = (static_cast<unsigned char>(c) & 0xC0) == 0x80;
    if (continuation) {
      // Belongs to the character just written, one column to the left.
      line.insert(line.begin() + static_cast<long>(byte), c);
      return;
    }
    if (byte >= line.size()) {
      line.append(col_ - std::min(col_, line.size()), ' ');
      line += c;
    } else {
      size_t end = byte + 1;
      while (end < line.size() && (static_cast<unsigned char>(line[end]) & 0xC0) == 0x80) ++end;
      line.replace(byte, end - byte, 1, c);
    }
    ++col_;
  }
}

void Screen::escape_done(const std::string& sequence) {
  char final = sequence.back();
  std::string args = sequence.substr(0, sequence.size() - 1);
  if (final == 'K') {  // erase from the cursor to the end of the line
    if (size_t byte = cursor_byte(); byte < rows_[row_].size()) rows_[row_].erase(byte);
  } else if (final == 'J' && args == "2") {
    rows_.assign(1, std::string());
    row_ = col_ = 0;
  } else if (final == 'H' && (args.empty() || args == "1;1")) {
    row_ = col_ = 0;
    if (rows_.empty()) rows_.emplace_back();
  }
}

std::vector<std::string> Screen::lines() const {
  std::vector<std::string> out;
  for (const std::string& row : rows_) out.push_back(row.substr(0, row.find_last_not_of(' ') + 1));
  while (!out.empty() && out.back().empty()) out.pop_back();
  return out;
}

std::string Screen::text() const {
  std::string out;
  for (const std::string& line : lines()) out += line + "\n";
  return out;
}
