// The console: output and line input on the terminal of standard input and output.
#pragma once
#include <cstdint>

// The bound operations. Programs call them through the wrappers below; console_set_raw_mode
// fills the slots with the plain or the raw variants.
struct ConsoleOps {
  void (*print)(const char* text);
  char* (*input_line)(int32_t pos);
  void (*print_line)(const char* text);
  char* (*inkey)(int32_t pos);
};
extern ConsoleOps console_ops;

inline void console_print(const char* text) { console_ops.print(text); }
inline char* console_input_line(int32_t pos) { return console_ops.input_line(pos); }
inline void console_print_line(const char* text) { console_ops.print_line(text); }
inline char* console_inkey(int32_t pos) { return console_ops.inkey(pos); }

int32_t console_open();
int32_t console_title(const char* text);
int32_t console_set_raw_mode(int32_t raw);
int32_t console_write(const void* bytes, int32_t count);
void console_clear();
