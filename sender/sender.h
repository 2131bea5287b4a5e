// The sender program's flow.
#pragma once

#include "app/command_line.h"

// Runs the sender from start-up to exit; does not return. Answers given on the command
// line skip their questions; with all of them given the notice is a line, not a box.
[[noreturn]] void sender_main(const CommandLine& line = CommandLine{});
