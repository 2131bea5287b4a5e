// The sender program's flow.
#pragma once

// Runs the sender from start-up to exit; does not return.
[[noreturn]] void sender_main();
