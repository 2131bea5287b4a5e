#include "platform/signals.h"

#include <atomic>

#include "platform/terminal.h"
#include "platform/transfer_file.h"
#include "platform/windows/win_util.h"

// The console's control events, which the system delivers on a thread of their own:
// closing the console window (and logging off, shutting down) is the close event; Ctrl+C
// and Ctrl+Break put the console back and end the process as the system's default handler
// does.
// The console reports no resizes or resumes here.

namespace {
void (*g_on_close)() = nullptr;
std::atomic<bool> g_installed{false};

BOOL WINAPI on_control(DWORD event) {
  switch (event) {
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: g_on_close(); return TRUE;
    default:
      // What the system's own handler does, said here: wine's ends with status 0.
      file_replacement_end_process();
      term_restore();
      ExitProcess(STATUS_CONTROL_C_EXIT);
  }
}
}  // namespace

bool signals_install(void (*on_close)()) {
  if (g_installed.exchange(true)) return true;
  g_on_close = on_close;
  return SetConsoleCtrlHandler(on_control, TRUE) != 0;
}


