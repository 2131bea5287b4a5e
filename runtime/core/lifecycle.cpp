#include "core/lifecycle.h"

#include <atomic>
#include <cstdio>
#include <unistd.h>

#include "core/fatal.h"
#include "core/heaps.h"
#include "dialogs/gui.h"
#include "net/net.h"
#include "strings/area.h"

namespace {
std::atomic<bool> g_ended{false};
}

void runtime_start() {
  g_ended.store(false);
  runtime_heap_create();
  if (!runtime_heap()) fatal_error("out of memory (runtime heap)");
  str_runtime_start();
  mem_init();
  gui_init();
}

void runtime_end() {
  if (g_ended.exchange(true)) return;
  net_shutdown();
  mem_shutdown();
}

void runtime_exit() {
  runtime_end();
  str_runtime_stop();
  runtime_heap_destroy();
  runtime_run_exit_hooks();
  std::fflush(nullptr);
  _exit(0);
}
