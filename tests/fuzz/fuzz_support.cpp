#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>

#include "core/heaps.h"
#include "strings/area.h"

void fuzz_runtime_once() {
  static bool started = [] {
    runtime_heap_create();
    str_runtime_start();
    mem_init();
    return true;
  }();
  (void)started;
}

void fuzz_check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "property broken: %s\n", what);
  std::abort();
}
