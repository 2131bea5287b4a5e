// The terminal behind standard input and output: its modes, its width, and byte I/O on
// the standard streams. The state saved here is what every exit path puts back.
#pragma once
#include <cstddef>
#include <sys/types.h>

#include "platform/descriptors.h"

// True when the stream is a terminal.
bool term_is_tty(StdStream stream);

// The terminal's current width in columns, or 0 when the stream is no terminal or does
// not know its size.
int term_columns(StdStream stream);

// Remembers the modes of the terminal(s) behind input and output as found. Only the first
// call saves; later calls do nothing. Returns true when at least one is a terminal.
bool term_open(StdStream input, StdStream output);

// Sets the wanted modes. raw_input: non-canonical, no echo, signals kept. raw_output: output
// post-processing and auto-wrap off. Both false: the modes as found, but for the end-of-file
// key, which no longer ends a line input (Ctrl+D types a character). Returns false when
// setting a terminal mode failed.
bool term_set_mode(bool raw_input, bool raw_output);
bool term_input_raw();
bool term_output_raw();

// Puts the terminal back as found (modes, auto-wrap on, cursor visible) without changing
// the wanted modes. First the line hook (if set) is asked what stands on the current line
// and its bytes are written, so that whatever comes next (the shell's prompt) starts on a
// fresh, empty line. Async-signal-safe; may run any number of times.
void term_restore();

// Sets the line hook of term_restore: it returns the bytes that leave the cursor at the
// start of an empty line ("" when it stands there already) and forgets the line, so a
// second restore writes nothing. It runs in signal handlers: async-signal-safe only.
void term_set_line_hook(const char* (*hook)());

// Applies the wanted modes again (after a resume). Async-signal-safe.
void term_reapply();

// read() that waits for bytes (EINTR retried, a non-blocking stream waited on). Returns the
// byte count, 0 at the end, -1 on failure.
ssize_t term_read(StdStream stream, void* bytes, size_t n);

// Writes all n bytes (EINTR retried). Returns false when a write failed.
bool term_write_all(StdStream stream, const void* bytes, size_t n);

// Waits up to ms milliseconds for the stream to become readable (0: just look).
bool term_wait_readable(StdStream stream, int ms);

// Waits up to timeout_ms (negative: without a limit) until stream is readable or the
// process reported a signal event (SIGNAL_EVENT_* of platform/signals.h, once
// signals_install ran). Returns 1 when stream is readable; 2 when only events came, with
// the set reported since the last time in *events (it may be empty); 0 on timeout; -1 when
// the wait failed.
int term_wait_input(StdStream stream, int timeout_ms, int* events);
