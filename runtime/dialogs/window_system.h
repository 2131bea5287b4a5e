// The window system as the modal guard sees it: the top-level windows of the process
// and their owning thread and process, visibility, enabled state, topmost band and the
// foreground window. The dialog back end in use supplies it (gui.h); tests put a fake in.
#pragma once
#include <cstdint>
#include <vector>

// A top-level window; null is no window. Only the window system that handed it out
// knows what it points to.
using WindowHandle = void*;

class WindowSystem {
 public:
  virtual ~WindowSystem() = default;
  // Every top-level window the system knows of, in its own order.
  virtual std::vector<WindowHandle> top_level_windows() = 0;
  // Identifiers of the thread and process that created the window; 0 when it is gone.
  virtual uint32_t window_thread(WindowHandle window) = 0;
  virtual uint32_t window_process(WindowHandle window) = 0;
  virtual bool is_visible(WindowHandle window) = 0;
  virtual bool is_enabled(WindowHandle window) = 0;
  virtual bool is_topmost(WindowHandle window) = 0;
  // Change a window; a window that is gone is left alone without complaint.
  virtual void set_enabled(WindowHandle window, bool enabled) = 0;
  virtual void set_topmost(WindowHandle window, bool topmost) = 0;
  // The window that has the user's input now, whichever process owns it; null when none.
  virtual WindowHandle foreground() = 0;
};

// The window system in use. Never null: before a back end supplies one, and for the text
// back end, it is a system without windows.
WindowSystem* window_system();

// Puts a window system in place; null brings back the one without windows.
void window_system_set(WindowSystem* system);

