#include "app/exit_status.h"

#include <atomic>

namespace {
// Read by the close of the terminal on a thread of its own.
std::atomic<int32_t> g_status{0};
}  // namespace

int32_t exit_status_note(const CommandLine& line, bool done) {
  int32_t status = command_line_status(line, done);
  g_status.store(status);
  return status;
}

int32_t exit_status_now() { return g_status.load(); }

void exit_status_note_stored() { g_status.store(COMMAND_LINE_DONE); }
