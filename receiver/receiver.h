// The receiver program's flow.
#pragma once

// Runs the receiver from start-up to exit; does not return.
[[noreturn]] void receiver_main();
