#include "app/exit_status.h"

#include "console/console.h"

int32_t exit_status_note(const CommandLine& line, bool done) {
  int32_t status = command_line_status(line, done);
  console_set_close_status(status);
  return status;
}

void exit_status_note_stored() { console_set_close_status(COMMAND_LINE_DONE); }
