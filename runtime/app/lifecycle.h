// The fixed start-up and exit sequences of both programs.
#pragma once

// Closed standard streams filled, runtime heap, string runtime, allocation heap, dialog
// back end: the first thing each main flow does.
void runtime_start();

// runtime_end, the string heap, the runtime heap, the exit hooks (terminal restored),
// then the process ends with the exit code (0 unless a caller tells otherwise). The last
// thing each main flow does.
[[noreturn]] void runtime_exit(int code = 0);

// Network shutdown, then the allocation heap. Acts once; a second call does nothing. The
// main flow's own: the close event never runs it.
void runtime_end();
