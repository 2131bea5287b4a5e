#include "dialogs/gui.h"

#include <cstdlib>
#include <cstring>

#include "dialogs/desktop_backend.h"
#include "dialogs/file_dialog.h"
#include "dialogs/text_backend.h"
#include "platform/desktop.h"

namespace {
const GuiBackend* g_backend = nullptr;

// How long an X display may take to answer before the dialogs stay on the terminal.
constexpr int kDisplayProbeMs = 2000;

// The GTK module, from beside the program or from where the installation puts it
// (KV_GTK_MODULE_FROM_PROGRAM, for example ../lib/kelvane/ from bin/), nowhere else. Its
// entry returns its back end and whether the display opened.
const DesktopLibrary kGtkModule = {"libkvgtk.so", KV_GTK_MODULE_FROM_PROGRAM, "kv_gtk_backend_open"};
}  // namespace

void gui_init() {
  file_dialog_forget_buffers();
  const char* choice = std::getenv("KV_DIALOGS");
  bool text_only = choice && std::strcmp(choice, "text") == 0;
  bool gtk_only = choice && std::strcmp(choice, "gtk") == 0;
  if (text_only) return gui_set_backend(&text_backend);
  // The system's own dialogs, where it has them (typed paths where no desktop is there).
  // GTK is not even loaded without a display to try, nor for an X display that does not
  // answer within a moment, which GTK would wait minutes for.
  DesktopOffer offer = desktop_offer(kGtkModule, kDisplayProbeMs, gtk_only);
  if (offer.system) {
    desktop_backend_use(offer.system);
    return gui_set_backend(&desktop_backend);
  }
  using OpenFn = const GuiBackend* (*)(bool*);
  bool started = false;
  const GuiBackend* gtk =
      offer.library_entry ? reinterpret_cast<OpenFn>(offer.library_entry)(&started) : nullptr;
  gui_set_backend(gtk && (started || gtk_only) ? gtk : &text_backend);
}

const GuiBackend* gui_backend() { return g_backend ? g_backend : &text_backend; }

void gui_set_backend(const GuiBackend* backend) {
  g_backend = backend;
  window_system_set(backend ? backend->windows : nullptr);
}
