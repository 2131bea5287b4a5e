// The console: output and line input on the terminal of standard input and output.
//
// Calling order: runtime_start; console_open; console_title; console_set_raw_mode(1); then
// any output and input. Plain mode (at load) passes texts unaltered and reads lines with
// the terminal's own line editing. Raw mode on a terminal switches output processing and
// auto-wrap off, clips every write to the terminal's width and shows control bytes
// visibly, and reads keys itself. When standard input or output is no terminal, the raw
// variants act like the plain ones, so the programs can be driven through pipes.
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

// Control events given to console_ctrl_handler.
constexpr int32_t CONSOLE_CTRL_C_EVENT = 0;
constexpr int32_t CONSOLE_BREAK_EVENT = 1;
constexpr int32_t CONSOLE_CLOSE_EVENT = 2;

// The byte that alone is the text of a line input once input has ended.
constexpr char CONSOLE_END_OF_INPUT = 0x04;

// Takes standard input and output, remembers the terminal's modes as found (every way the
// process ends puts them back), and starts the close handling: a hang-up of the terminal
// runs console_ctrl_handler(CONSOLE_CLOSE_EVENT) on a thread of its own. Returns 1.
int32_t console_open();

// Sets the terminal's title (an OSC sequence; control bytes in the text become '?').
// Returns 1 when written, 0 when standard output is no terminal or the write failed.
int32_t console_title(const char* text);

// 0 selects plain mode, any other value raw mode: binds the slots of console_ops and sets
// the terminal's modes. Returns 1, or 0 when a terminal mode could not be set.
int32_t console_set_raw_mode(int32_t raw);

// Writes the bytes unaltered to standard output. Returns 1 on success, 0 on failure.
int32_t console_write(const void* bytes, int32_t count);

// In raw mode on a terminal: clears the screen and puts the cursor top left. Otherwise
// nothing.
void console_clear();

// The close event (CONSOLE_CLOSE_EVENT) runs the exit hooks (terminal restored, a
// reception's temporary file removed) and ends the process with the close status, from
// whatever thread, without releasing anything the main flow may be using. Returns 0 for
// every other event.
int32_t console_ctrl_handler(int32_t event);

// The exit code a close event ends the process with from now on: what the program would
// report if it ended now (0 at the start). The program's exit status (app/exit_status.h)
// keeps it up to date.
void console_set_close_status(int32_t status);

// The variants bound into console_ops. A null text prints nothing; print_line of a null
// text writes the line end alone.
void console_print_plain(const char* text);
void console_print_line_plain(const char* text);
void console_print_raw(const char* text);
void console_print_line_raw(const char* text);

// Line inputs: the typed line (without its line end) built on the calling thread's
// StringArea at pos (-1: the current top); the top stands behind it and a zero byte at
// the top. The one-byte text CONSOLE_END_OF_INPUT once input has ended: a file or pipe at
// its end, a terminal that went away. A typed Ctrl+D is a character like any other.
//
// Plain: the terminal's line editing, at most 4096 bytes a call (the rest of a longer line
// comes with the next call); redirected input is read in blocks of up to 4096 bytes and
// split at CR, LF or CR LF, keeping what lies behind the line in console_pipe_rest.
char* console_input_line_plain(int32_t pos);
// Raw: keys read one by one and echoed visibly; Backspace takes back the last character;
// arrows, function keys and other escape sequences add nothing. A line that reaches the
// column before the terminal's last scrolls sideways: the end of the text stays in view,
// behind a '<'. A resize or a resume after a stop draws prompt and line again. Keys that
// would make the line longer than CONSOLE_LINE_MAX bytes ring the bell and are dropped.
// When input ends, the line is ended on the screen too.
char* console_input_line_raw(int32_t pos);

// True once a line input met the end of input; a line that holds a typed Ctrl+D alone
// looks the same but comes before it.
bool console_input_at_end();

// True when a line input met the end of input (the one-byte text CONSOLE_END_OF_INPUT given
// at the end; a typed Ctrl+D alone is a line like others).
bool console_input_ended(const char* text);

// The most bytes a raw line input takes: any path the system takes (up to PATH_MAX less
// its zero) and one byte more, so that a longer path is still seen as too long.
constexpr int32_t CONSOLE_LINE_MAX = 4096;

// The single-key operation bound to the console_inkey slot in both modes: never waits;
// the empty text when no key is pending, otherwise the one character of the next key
// (Enter gives CR, Backspace BS, Escape ESC; a dropped sequence gives the empty text).
char* console_read_key(int32_t pos);

// Redirected-input bytes read beyond the line last returned (runtime heap), or null.
extern char* console_pipe_rest;
