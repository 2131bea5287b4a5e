// The exit status of a program's run, also handed to the console for a close of the
// terminal (console_set_close_status).
// With arguments given it tells a script the outcome (see command_line_status); without,
// it is 0 on every path.
#pragma once
#include <cstdint>

#include "app/command_line.h"

// Records the outcome so far of the run the command line describes: done when the file
// was sent or received. Returns the status it gives, which runtime_exit is to end with
// and which a close of the terminal ends with from now on.
int32_t exit_status_note(const CommandLine& line, bool done);

// A reception that the close waited for stored its file: the close ends as a run that
// received it.
void exit_status_note_stored();
