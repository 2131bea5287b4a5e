#include "dialogs/gui.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "dialogs/file_dialog.h"
#include "dialogs/text_backend.h"

namespace {
const GuiBackend* g_backend = nullptr;

// Loads the GTK module: next to the program, where it is installed beside the program's
// folder (bin/ and lib/kelvane/ under one prefix), or in the build folder (tests). Returns its back end and whether the display opened, or null when the
// module cannot be loaded.
const GuiBackend* load_gtk(bool* started) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string folder = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
  folder = folder.substr(0, folder.rfind('/') + 1);
  for (const std::string& path : {folder + "libkvgtk.so", folder + KV_GTK_MODULE_INSTALLED,
                                  std::string(KV_GTK_MODULE_BUILT)}) {
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) continue;
    using OpenFn = const GuiBackend* (*)(bool*);
    auto open = reinterpret_cast<OpenFn>(dlsym(module, "kv_gtk_backend_open"));
    if (open) return open(started);
    dlclose(module);
  }
  return nullptr;
}
}  // namespace

void gui_init() {
  file_dialog_forget_buffers();
  const char* choice = std::getenv("KV_DIALOGS");
  bool text_only = choice && std::strcmp(choice, "text") == 0;
  bool gtk_only = choice && std::strcmp(choice, "gtk") == 0;
  // Without a display to try, GTK is not even loaded.
  bool display = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
  bool started = false;
  const GuiBackend* gtk = !text_only && (display || gtk_only) ? load_gtk(&started) : nullptr;
  gui_set_backend(gtk && (started || gtk_only) ? gtk : &text_backend);
}

const GuiBackend* gui_backend() { return g_backend ? g_backend : &text_backend; }

void gui_set_backend(const GuiBackend* backend) {
  g_backend = backend;
  window_system_set(backend ? backend->windows : nullptr);
}
