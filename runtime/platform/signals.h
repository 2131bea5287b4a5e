// The process's signals as the console sees them: the terminal going away is the close
// event; the others put the terminal back before they take their usual effect.
#pragma once

// Installs, once:
// - SIGHUP: a thread of its own runs on_close (which must end the process); the handler
//   only wakes that thread, so it works whichever thread the signal lands on;
// - SIGINT, SIGTERM, SIGQUIT: a reception's named temporary file is removed
//   (file_replacement_end_process) and the terminal restored, then the signal's default
//   action ends the process;
// - SIGTSTP: the terminal is restored before the process stops; SIGCONT applies the
//   wanted modes again and reports SIGNAL_EVENT_RESUME;
// - SIGWINCH: reports SIGNAL_EVENT_RESIZE.
// A SIGHUP, SIGINT or SIGQUIT that was ignored when the process started stays ignored.
// Returns false when the close thread could not be started.
bool signals_install(void (*on_close)());

// Events for whoever draws on the terminal: it was resized, or the process resumed after a
// stop (what was on the screen may be gone). term_wait_input reports them.
constexpr int SIGNAL_EVENT_RESIZE = 1;
constexpr int SIGNAL_EVENT_RESUME = 2;
