#include "dialogs/gui.h"

#include <cstdlib>
#include <cstring>

#include "dialogs/file_dialog.h"
#include "dialogs/gtk_backend.h"
#include "dialogs/text_backend.h"

namespace {
const GuiBackend* g_backend = nullptr;
}

void gui_init() {
  file_dialog_forget_buffers();
  const char* choice = std::getenv("KV_DIALOGS");
  bool text_only = choice && std::strcmp(choice, "text") == 0;
  bool gtk_only = choice && std::strcmp(choice, "gtk") == 0;
  if (!text_only && (gtk_backend_start() || gtk_only)) {
    gui_set_backend(&gtk_backend);
  } else {
    gui_set_backend(&text_backend);
  }
}

const GuiBackend* gui_backend() { return g_backend ? g_backend : &text_backend; }

void gui_set_backend(const GuiBackend* backend) {
  g_backend = backend;
  window_system_set(backend ? backend->windows : nullptr);
}
