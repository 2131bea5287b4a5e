#include "app/lifecycle.h"

#include <cstdio>
#include <mutex>

#include "app/exit_status.h"
#include "console/console.h"
#include "core/fatal.h"
#include "core/heaps.h"
#include "dialogs/gui.h"
#include "net/net.h"
#include "platform/process.h"
#include "platform/std_streams.h"
#include "strings/area.h"

namespace {
// runtime_end acts once. Only the main flow calls it: the close event ends the process
// without it (see console_ctrl_handler).
bool g_ended = false;
}  // namespace

void runtime_start() {
  std_streams_fill();
  // A reception the close event waited for, stored meanwhile, is the outcome it tells.
  static std::once_flag watching;
  std::call_once(watching, [] {
    runtime_on_exit([] {
      if (net_transfer_remove_temp_file()) exit_status_note_stored();
    });
  });
  g_ended = false;
  runtime_heap_create();
  if (!runtime_heap()) fatal_error("out of memory (runtime heap)");
  str_runtime_start();
  mem_init();
  gui_init();
}

void runtime_end() {
  if (g_ended) return;
  net_shutdown();
  mem_shutdown();
  g_ended = true;
}

void runtime_exit(int code) {
  runtime_end();
  str_runtime_stop();
  runtime_heap_destroy();
  runtime_run_exit_hooks();
  std::fflush(nullptr);
  process_exit_now(code);
}
