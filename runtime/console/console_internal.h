// State the parts of the console library share; not for the programs.
#pragma once
#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>

#include "platform/descriptors.h"

// The streams of input and output and whether each is a terminal (set by console_open;
// before it, standard input and output and no terminal).
StdStream console_in_fd();
StdStream console_out_fd();
bool console_in_tty();
bool console_out_tty();

// The argument of the last console_set_raw_mode.
int console_raw_value();

// Serialises raw output: a line's text and its line end never interleave with another
// thread's output.
std::mutex& console_output_lock();
// Guards console_pipe_rest and the whole redirected-input read.
std::mutex& console_input_lock();

// The cursor column as far as the console's own output tells it: what was written since
// the last line end. The raw line input's width limit depends on it.
extern std::atomic<int> console_column;

// Moves console_column over the bytes written: to the count of characters after the last
// CR or LF, or on by the characters written.
void console_track(const char* bytes, size_t n);

// The terminal's current width in columns; 80 when it does not tell.
int console_width();

// Erases a shown status line (CR ESC[K) and forgets it. Raw output calls it under the
// output lock.
void console_status_erase_shown();

// Forgets a shown status line without writing anything. Returns whether one was shown.
// Async-signal-safe.
bool console_status_forget_shown();

// The visible form of what was printed on the current line since its last line end, in
// full even where the screen cut it: the prompt that a line input draws again. Caller
// holds the output lock.
std::string& console_line_text();

// Erases a shown status line (on a terminal) and, when the output does not stand at the
// start of a line (terminal, pipe or file), writes a line end, so that what comes next
// starts on a fresh line.
void console_end_line();

// The function a waiting raw line input calls now and then, and how often (status.cpp).
extern std::atomic<void (*)()> console_input_idle_fn;
extern std::atomic<int32_t> console_input_idle_ms;
