// The one way the runtime stops a program that cannot go on (a heap that cannot supply a
// block the runtime must have): a one-line message on standard error, exit code 1.
#pragma once

// Runs before the message is written, on every fatal stop, at the normal exit and when the
// terminal is closed; the console uses it to put the terminal back as it was found. Up to
// 8 hooks, run newest first. A hook may run on any thread and must touch nothing the main
// flow frees.
void runtime_on_exit(void (*hook)());

// Runs the exit hooks registered with runtime_on_exit, once per process: the close event
// and the main flow's exit may both get here; a second caller waits until the first run
// has finished, then returns.
void runtime_run_exit_hooks();

// Restores what the exit hooks restore, prints "<program>: <what>" and ends the process
// with exit code 1.
[[noreturn]] void fatal_error(const char* what);
