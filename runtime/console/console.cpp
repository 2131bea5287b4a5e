#include "console/console.h"

#include <cstdio>
#include <cstring>

#include "strings/area.h"

// Placeholder until the console library lands: plain standard input and output.
namespace {
void print_plain(const char* text) {
  if (text) std::fputs(text, stdout);
  std::fflush(stdout);
}
void print_line_plain(const char* text) {
  print_plain(text);
  print_plain("\r\n");
}
char* input_line_plain(int32_t pos) {
  char* buffer = str_area_reserve(4096, pos);
  int32_t length = 0;
  if (!std::fgets(buffer, 4096, stdin)) {
    buffer[length++] = 4;
  } else {
    length = static_cast<int32_t>(std::strcspn(buffer, "\r\n"));
  }
  str_area_release(4096 - length);
  buffer[length] = 0;
  return buffer;
}
char* inkey(int32_t pos) {
  char* buffer = str_area_reserve(0, pos);
  buffer[0] = 0;
  return buffer;
}
}  // namespace

ConsoleOps console_ops = {print_plain, input_line_plain, print_line_plain, inkey};

int32_t console_open() { return 1; }
int32_t console_title(const char*) { return 1; }
int32_t console_set_raw_mode(int32_t) { return 1; }
int32_t console_write(const void* bytes, int32_t count) {
  return std::fwrite(bytes, 1, static_cast<size_t>(count), stdout) == static_cast<size_t>(count);
}
void console_clear() {}
