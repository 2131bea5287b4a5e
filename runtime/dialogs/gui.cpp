#include "dialogs/gui.h"

#include <cstdlib>
#include <cstring>

#include "dialogs/desktop_backend.h"
#include "dialogs/file_dialog.h"
#include "dialogs/text_backend.h"
#include "platform/desktop.h"
#include "platform/display.h"
#include "platform/module.h"

namespace {
const GuiBackend* g_backend = nullptr;

// How long an X display may take to answer before the dialogs stay on the terminal.
constexpr int kDisplayProbeMs = 2000;

// Loads the GTK module from beside the program or from where the installation puts it
// (KV_GTK_MODULE_FROM_PROGRAM, for example ../lib/kelvane/ from bin/), nowhere else.
// Returns its back end and whether the display opened, or null when the module cannot
// be loaded.
const GuiBackend* load_gtk(bool* started) {
  using OpenFn = const GuiBackend* (*)(bool*);
  void* open = module_load_symbol("libkvgtk.so", KV_GTK_MODULE_FROM_PROGRAM, "kv_gtk_backend_open");
  return open ? reinterpret_cast<OpenFn>(open)(started) : nullptr;
}
}  // namespace

void gui_init() {
  file_dialog_forget_buffers();
  const char* choice = std::getenv("KV_DIALOGS");
  bool text_only = choice && std::strcmp(choice, "text") == 0;
  bool gtk_only = choice && std::strcmp(choice, "gtk") == 0;
  // The system's own dialogs, where it has them (typed paths where no desktop is there).
  if (!text_only && desktop_dialogs()) return gui_set_backend(&desktop_backend);
  // Without a display to try, GTK is not even loaded; nor for an X display that does not
  // answer within a moment, which GTK would wait minutes for.
  const char* x_display = std::getenv("DISPLAY");
  bool display = !text_only && (std::getenv("WAYLAND_DISPLAY") ||
                                (x_display && display_answers(x_display, kDisplayProbeMs)));
  bool started = false;
  const GuiBackend* gtk = !text_only && (display || gtk_only) ? load_gtk(&started) : nullptr;
  gui_set_backend(gtk && (started || gtk_only) ? gtk : &text_backend);
}

const GuiBackend* gui_backend() { return g_backend ? g_backend : &text_backend; }

void gui_set_backend(const GuiBackend* backend) {
  g_backend = backend;
  window_system_set(backend ? backend->windows : nullptr);
}
