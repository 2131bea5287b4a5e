#include "core/fatal.h"

#include <atomic>
#include <mutex>

#include "platform/process.h"

namespace {
constexpr int kMaxHooks = 8;
std::atomic<void (*)()> g_hooks[kMaxHooks];
std::atomic<int> g_hook_count{0};
std::once_flag g_hooks_run;
}  // namespace

void runtime_on_exit(void (*hook)()) {
  int slot = g_hook_count.fetch_add(1);
  if (slot < kMaxHooks)
    g_hooks[slot].store(hook);
  else
    g_hook_count.store(kMaxHooks);
}

void runtime_run_exit_hooks() {
  std::call_once(g_hooks_run, [] {
    for (int i = g_hook_count.load() - 1; i >= 0; --i)
      if (auto hook = g_hooks[i].load()) hook();
  });
}

void fatal_error(const char* what) {
  runtime_run_exit_hooks();
  process_report_error(what);
  process_exit_now(1);
}
