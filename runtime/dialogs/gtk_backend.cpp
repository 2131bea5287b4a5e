#include "dialogs/gtk_backend.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <gtk/gtk.h>
#include <string>

#include "core/scope_exit.h"
#include "dialogs/file_dialog.h"
#include "dialogs/message_box.h"
#include "platform/desktop.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/terminal.h"

namespace {

bool g_started = false;
uint32_t g_gtk_thread = 0;
// Whether standard error was a terminal when GTK was prepared. Decided once: GTK's own
// threads log at any time, also while standard error is swapped for /dev/null.
bool g_stderr_terminal = true;

// GLib and GTK talk on standard error (warnings about dconf, a missing session bus,
// accessibility). On a terminal that would break the console's screen, so there it is
// dropped; when standard error is a file or a pipe it goes there as usual.
GLogWriterOutput log_writer(GLogLevelFlags level, const GLogField* fields, gsize count, gpointer) {
  if (g_stderr_terminal) return G_LOG_WRITER_HANDLED;
  return g_log_writer_default(level, fields, count, nullptr);
}

void print_handler(const gchar* text) {
  if (!g_stderr_terminal) term_write_all(StdStream::error, text, std::strlen(text));
}

// While GTK runs, standard error and the hang-up are kept from it (desktop_quiet_begin).
// Returns what puts them back at the end of the scope.
auto gtk_quiet() {
  DesktopQuiet* quiet = desktop_quiet_begin();
  return ScopeExit([quiet] { desktop_quiet_end(quiet); });
}

bool on_gtk_thread() { return g_started && process_thread_id() == g_gtk_thread; }

// Texts handed to GTK must be UTF-8; anything else is shown with replacement marks
// instead of being refused.
std::string utf8(const char* text) {
  if (!text) return std::string();
  gchar* valid = g_utf8_make_valid(text, -1);
  std::string result(valid);
  g_free(valid);
  return result;
}

// Lets GTK take a destroyed dialog off the screen before the caller goes on. Bounded:
// a source that keeps firing cannot hold the caller here.
void drain() {
  for (int i = 0; i < 10000 && gtk_events_pending(); ++i) gtk_main_iteration_do(FALSE);
  if (GdkDisplay* display = gdk_display_get_default()) gdk_display_flush(display);
}

bool alive(WindowHandle window) {
  GList* all = gtk_window_list_toplevels();
  bool found = g_list_find(all, window) != nullptr;
  g_list_free(all);
  return found;
}

// The process's GTK windows. All belong to the thread that started GTK.
class GtkWindows final : public WindowSystem {
 public:
  std::vector<WindowHandle> top_level_windows() override {
    std::vector<WindowHandle> windows;
    if (!on_gtk_thread()) return windows;
    GList* all = gtk_window_list_toplevels();
    for (GList* l = all; l; l = l->next)
      if (gtk_window_get_window_type(GTK_WINDOW(l->data)) == GTK_WINDOW_TOPLEVEL) windows.push_back(l->data);
    g_list_free(all);
    return windows;
  }
  uint32_t window_thread(WindowHandle window) override { return usable(window) ? g_gtk_thread : 0; }
  uint32_t window_process(WindowHandle window) override {
    return usable(window) ? process_id() : 0;
  }
  bool is_visible(WindowHandle window) override {
    return usable(window) && gtk_widget_get_visible(GTK_WIDGET(window));
  }
  bool is_enabled(WindowHandle window) override {
    return usable(window) && gtk_widget_get_sensitive(GTK_WIDGET(window));
  }
  bool is_topmost(WindowHandle window) override {
    if (!usable(window)) return false;
    GdkWindow* gdk = gtk_widget_get_window(GTK_WIDGET(window));
    return gdk && (gdk_window_get_state(gdk) & GDK_WINDOW_STATE_ABOVE);
  }
  void set_enabled(WindowHandle window, bool enabled) override {
    if (usable(window)) gtk_widget_set_sensitive(GTK_WIDGET(window), enabled);
  }
  void set_topmost(WindowHandle window, bool topmost) override {
    if (usable(window)) gtk_window_set_keep_above(GTK_WINDOW(window), topmost);
  }
  WindowHandle foreground() override {
    WindowHandle active = nullptr;
    if (!on_gtk_thread()) return active;
    GList* all = gtk_window_list_toplevels();
    for (GList* l = all; l && !active; l = l->next)
      if (gtk_window_is_active(GTK_WINDOW(l->data))) active = l->data;
    g_list_free(all);
    return active;
  }

 private:
  static bool usable(WindowHandle window) { return window && on_gtk_thread() && alive(window); }
};

GtkWindows g_windows;

GtkWindow* parent_of(WindowHandle owner) {
  return owner && on_gtk_thread() && alive(owner) ? GTK_WINDOW(owner) : nullptr;
}

// Puts the dialog in front: there is usually no window of ours for it to sit on.
void prepare(GtkWidget* dialog) {
  gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
  gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
  gtk_window_present(GTK_WINDOW(dialog));
}

int32_t gtk_message_box(WindowHandle owner, const char* caption, const char* text, uint32_t flags) {
  if (!on_gtk_thread()) return 0;
  auto quiet = gtk_quiet();
  GtkMessageType type = GTK_MESSAGE_OTHER;
  switch (flags & MB_ICONMASK) {
    case MB_ICONERROR: type = GTK_MESSAGE_ERROR; break;
    case MB_ICONQUESTION: type = GTK_MESSAGE_QUESTION; break;
    case MB_ICONWARNING: type = GTK_MESSAGE_WARNING; break;
    case MB_ICONINFORMATION: type = GTK_MESSAGE_INFO; break;
    default: break;
  }
  std::string body = utf8(text);
  GtkWidget* dialog =
      gtk_message_dialog_new(parent_of(owner), GTK_DIALOG_MODAL, type, GTK_BUTTONS_NONE, "%s", body.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), utf8(caption ? caption : "Error").c_str());
  int32_t ids[3];
  int32_t count = message_box_buttons(flags, ids);
  static const char* const kLabels[] = {"", "_OK", "_Cancel", "_Abort", "_Retry", "_Ignore", "_Yes", "_No"};
  for (int32_t i = 0; i < count; ++i) gtk_dialog_add_button(GTK_DIALOG(dialog), kLabels[ids[i]], ids[i]);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), ids[message_box_default_index(flags)]);
  int32_t closed = message_box_close_result(flags);
  if (!closed) gtk_window_set_deletable(GTK_WINDOW(dialog), FALSE);
  prepare(dialog);
  int32_t result = 0;
  // A box without Cancel (Yes/No) cannot be closed without choosing: run it again.
  for (int round = 0; round < 1000 && result == 0; ++round) {
    gint response = gtk_dialog_run(GTK_DIALOG(dialog));
    result = response > 0 ? response : closed;
  }
  gtk_widget_destroy(dialog);
  drain();
  return result;
}

void add_filters(GtkFileChooser* chooser, const char* filter, int32_t index) {
  int32_t number = 1;
  for (const char* p = filter; *p; ++number) {
    const char* description = p;
    const char* patterns = p + std::strlen(p) + 1;
    GtkFileFilter* item = gtk_file_filter_new();
    gtk_file_filter_set_name(item, utf8(description).c_str());
    // Patterns are separated by ';'; "*.*" means every file, with or without a dot.
    std::string list(patterns);
    size_t start = 0;
    while (start <= list.size()) {
      size_t end = std::min(list.find(';', start), list.size());
      std::string pattern = list.substr(start, end - start);
      pattern.erase(0, pattern.find_first_not_of(' '));
      pattern.erase(pattern.find_last_not_of(' ') + 1);
      if (pattern == "*.*") pattern = "*";
      if (!pattern.empty()) gtk_file_filter_add_pattern(item, pattern.c_str());
      start = end + 1;
    }
    gtk_file_chooser_add_filter(chooser, item);  // the chooser takes the reference
    if (number == index) gtk_file_chooser_set_filter(chooser, item);
    if (!*patterns) break;
    p = patterns + std::strlen(patterns) + 1;
  }
}

// Writes the chooser's choice into the request. Returns 1 when taken, -1 when it is to be
// asked again (a path too long for the buffer is said so first).
int32_t take_choice(GtkFileChooser* chooser, FileDialogRequest* request) {
  GSList* names = gtk_file_chooser_get_filenames(chooser);
  int32_t count = static_cast<int32_t>(g_slist_length(names));
  std::string list;
  int32_t verdict = count > 0 ? 1 : -1;
  for (GSList* l = names; l && verdict == 1; l = l->next) {
    std::string path(static_cast<const char*>(l->data));
    std::string folder;
    std::string name;
    path_split(path, &folder, &name);
    if ((request->flags & OFN_PATHMUSTEXIST) && !path_is_folder(folder)) verdict = -1;
    if ((request->flags & OFN_FILEMUSTEXIST) && !path_exists(path)) verdict = -1;
    if (count == 1) {
      list = path;
    } else {
      if (list.empty()) list = folder + std::string(1, '\0');
      list += name + std::string(1, '\0');
    }
  }
  g_slist_free_full(names, g_free);
  if (verdict != 1) return verdict;
  // One path and its zero, or the folder and names each with its zero and one zero more.
  size_t size = static_cast<size_t>(request->file_size);
  if (list.size() >= size) {
    gtk_message_box(chooser, "Error!", FILE_DIALOG_TOO_LONG, MB_OK | MB_ICONWARNING);
    return -1;
  }
  std::memcpy(request->file, list.data(), list.size());
  request->file[list.size()] = 0;
  if (list.size() + 1 < size) request->file[list.size() + 1] = 0;
  return 1;
}

int32_t gtk_file_dialog(FileDialogRequest* request) {
  if (!on_gtk_thread()) return 0;
  auto quiet = gtk_quiet();
  bool save = request->kind == 1;
  std::string title = utf8(request->title ? request->title : save ? "Save As" : "Open");
  GtkWidget* dialog = gtk_file_chooser_dialog_new(
      title.c_str(), parent_of(request->owner),
      save ? GTK_FILE_CHOOSER_ACTION_SAVE : GTK_FILE_CHOOSER_ACTION_OPEN, "_Cancel", GTK_RESPONSE_CANCEL,
      save ? "_Save" : "_Open", GTK_RESPONSE_ACCEPT, nullptr);
  GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  gtk_file_chooser_set_local_only(chooser, TRUE);
  gtk_file_chooser_set_do_overwrite_confirmation(chooser, (request->flags & OFN_OVERWRITEPROMPT) != 0);
  if (!save && (request->flags & OFN_ALLOWMULTISELECT)) gtk_file_chooser_set_select_multiple(chooser, TRUE);
  add_filters(chooser, request->filter, request->filter_index);

  // An initial folder this system does not have ("C:") gives the current folder, in both
  // dialogs (GTK's own choice for an open dialog would be its list of recent files).
  const char* folder = request->initial_directory;
  bool has_folder = folder && *folder && path_is_folder(folder);
  if (has_folder) {
    gtk_file_chooser_set_current_folder(chooser, folder);
  } else if (gchar* here = g_get_current_dir()) {
    gtk_file_chooser_set_current_folder(chooser, here);
    g_free(here);
  }
  if (request->file[0]) {
    if (save) {
      gtk_file_chooser_set_current_name(chooser, utf8(request->file).c_str());
    } else if (has_folder) {
      std::string proposed = std::string(folder) + "/" + request->file;
      if (path_exists(proposed)) gtk_file_chooser_set_filename(chooser, proposed.c_str());
    }
  }
  prepare(dialog);

  int32_t result = -1;
  for (int round = 0; round < 1000 && result < 0; ++round) {
    if (gtk_dialog_run(GTK_DIALOG(dialog)) != GTK_RESPONSE_ACCEPT) {
      result = 0;
      break;
    }
    result = take_choice(chooser, request);
  }
  gtk_widget_destroy(dialog);
  drain();
  return result > 0 ? 1 : 0;
}

}  // namespace

bool gtk_backend_start() {
  if (g_started) return true;
  static bool prepared = false;
  if (!prepared) {
    prepared = true;
    g_stderr_terminal = term_is_tty(StdStream::error);
    // Before GTK starts: the locale is the program's business, GL is never needed by a
    // dialog (and would pull in Mesa), and GLib's messages go through our writer.
    gtk_disable_setlocale();
    setenv("GDK_GL", "disable", 0);
    g_log_set_writer_func(log_writer, nullptr, nullptr);
    g_set_print_handler(print_handler);
    g_set_printerr_handler(print_handler);
  }
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) return false;
  auto quiet = gtk_quiet();
  if (!gtk_init_check(nullptr, nullptr)) return false;
  g_started = true;
  g_gtk_thread = process_thread_id();
  return true;
}

const GuiBackend gtk_backend = {"gtk", &g_windows, gtk_message_box, gtk_file_dialog};

extern "C" const GuiBackend* kv_gtk_backend_open(bool* started) {
  *started = gtk_backend_start();
  return &gtk_backend;
}
