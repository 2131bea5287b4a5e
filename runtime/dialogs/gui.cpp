#include "dialogs/gui.h"

#include <dlfcn.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "dialogs/file_dialog.h"
#include "dialogs/text_backend.h"
#include "platform/display.h"

namespace {
const GuiBackend* g_backend = nullptr;

// How long an X display may take to answer before the dialogs stay on the terminal.
constexpr int kDisplayProbeMs = 2000;

// The folder of the running program with a trailing '/', resolved once; empty when the
// kernel cannot tell.
const std::string& program_folder() {
  static const std::string folder = [] {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return std::string();
    std::string path(self, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/') + 1);
  }();
  return folder;
}

// The path without links when only root or this user can have put the file there: the
// file and the folder it really lies in belong to one of them and no other user and no
// group but root's may write to them. Returns the empty text otherwise, or when there is no such file.
std::string trusted_path(const std::string& path) {
  char real[PATH_MAX];
  if (!realpath(path.c_str(), real)) return std::string();
  std::string file(real);
  std::string folder = file.substr(0, file.rfind('/') + 1);
  for (const std::string& p : {file, folder}) {
    struct stat st {};
    if (stat(p.c_str(), &st) != 0) return std::string();
    if (st.st_uid != 0 && st.st_uid != geteuid()) return std::string();
    // Write access of a group other than root's is write access of others too.
    if ((st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && st.st_gid != 0)) return std::string();
  }
  return file;
}

// Loads the GTK module from a place fixed relative to the running program, nowhere else:
// beside it (the build folder, or a program unpacked with its module), or where the
// installation puts it (KV_GTK_MODULE_FROM_PROGRAM, for example ../lib/kelvane/ from bin/).
// Returns its back end and whether the display opened, or null when the module cannot
// be loaded.
const GuiBackend* load_gtk(bool* started) {
  const std::string& folder = program_folder();
  if (folder.empty()) return nullptr;
  for (const std::string& place :
       {folder + "libkvgtk.so", folder + KV_GTK_MODULE_FROM_PROGRAM "/libkvgtk.so"}) {
    std::string path = trusted_path(place);
    if (path.empty()) continue;
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
