// The receiver program's flow.
#pragma once

#include "app/command_line.h"

// Runs the receiver from start-up to exit; does not return. Answers given on the command
// line skip their questions; a save path given there makes it receive one transfer and end.
[[noreturn]] void receiver_main(const CommandLine& line = CommandLine{});
