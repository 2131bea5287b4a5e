#include "app/lifecycle.h"

#include <cstdio>
#include <mutex>
#include <unistd.h>

#include "console/console.h"
#include "core/fatal.h"
#include "core/heaps.h"
#include "dialogs/gui.h"
#include "net/net.h"
#include "strings/area.h"

namespace {
// runtime_end acts once. The close event runs it on a thread of its own while the main
// flow may reach its own exit: a second caller waits until the first has finished, so
// that the exit never destroys the heaps under a shutdown still running.
std::mutex g_end_lock;
bool g_ended = false;
}

void runtime_start() {
  {
    std::lock_guard<std::mutex> hold(g_end_lock);
    g_ended = false;
  }
  runtime_heap_create();
  if (!runtime_heap()) fatal_error("out of memory (runtime heap)");
  str_runtime_start();
  mem_init();
  console_set_close_action(runtime_end);
  gui_init();
}

void runtime_end() {
  std::lock_guard<std::mutex> hold(g_end_lock);
  if (g_ended) return;
  net_shutdown();
  mem_shutdown();
  g_ended = true;
}

void runtime_exit() {
  runtime_end();
  str_runtime_stop();
  runtime_heap_destroy();
  runtime_run_exit_hooks();
  std::fflush(nullptr);
  _exit(0);
}
