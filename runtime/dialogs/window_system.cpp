#include "dialogs/window_system.h"


namespace {

// A terminal program owns no windows of its own: the text back end's window system.
class NoWindows final : public WindowSystem {
 public:
  std::vector<WindowHandle> top_level_windows() override { return {}; }
  uint32_t window_thread(WindowHandle) override { return 0; }
  uint32_t window_process(WindowHandle) override { return 0; }
  bool is_visible(WindowHandle) override { return false; }
  bool is_enabled(WindowHandle) override { return false; }
  bool is_topmost(WindowHandle) override { return false; }
  void set_enabled(WindowHandle, bool) override {}
  void set_topmost(WindowHandle, bool) override {}
  WindowHandle foreground() override { return nullptr; }
};

NoWindows g_no_windows;
WindowSystem* g_system = &g_no_windows;

}  // namespace

WindowSystem* window_system() { return g_system; }

void window_system_set(WindowSystem* system) { g_system = system ? system : &g_no_windows; }
