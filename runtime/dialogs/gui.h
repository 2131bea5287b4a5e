// The dialog back end: the part of the dialogs that puts a message box or a file dialog
// in front of the user. gui_init chooses one at start-up:
//
// - the system's own dialogs where it has them (Windows) and a desktop is there;
// - GTK 3 dialogs when a display can be opened (Linux);
// - text-mode dialogs on the terminal otherwise (ssh, servers, CI), read and written
//   through the console, so they work through pipes too.
//
// The environment variable KV_DIALOGS chooses by hand: KV_DIALOGS=text keeps the dialogs
// on the terminal even on a desktop (tests, and users who prefer typing a path);
// KV_DIALOGS=gtk uses nothing but GTK (with no display the dialogs then fail: a box gives
// 0, a file dialog the empty text). Unset or any other value: GTK when a display opens,
// text otherwise.
#pragma once
#include <cstdint>

#include "dialogs/window_system.h"

// What the file dialog asks of a back end. The back end shows the dialog and, when the
// user confirms a choice, leaves the chosen full path in file (zero-terminated, shorter
// than file_size); with OFN_ALLOWMULTISELECT and several files chosen, the folder and
// the names one after another, each zero-terminated, and an extra zero at the end.
struct FileDialogRequest {
  WindowHandle owner;             // null: no owner
  int32_t kind;                   // 1: save dialog, 0: open dialog
  const char* title;              // null: the back end's own caption
  const char* initial_directory;  // null or empty: the back end's own choice
  char* file;                     // in: the proposed name (may be empty); out: the choice
  int32_t file_size;              // bytes in file
  const char* filter;             // description and pattern in turn, each zero-terminated,
                                  // an extra zero after the last; never null
  int32_t filter_index;           // 1-based number of the pair to preselect
  uint32_t flags;                 // OFN_* of file_dialog.h
};

struct GuiBackend {
  const char* name;       // "gtk", "text", or a test's own
  WindowSystem* windows;  // null: no windows of this process
  // Shows a box and returns the identifier of the button that closed it (message_box.h),
  // 0 when it cannot be shown.
  int32_t (*message_box)(WindowHandle owner, const char* caption, const char* text, uint32_t flags);
  // Shows the file dialog. Returns nonzero when the user confirmed a choice.
  int32_t (*file_dialog)(FileDialogRequest* request);
};

// Chooses and prepares the back end (see above) and forgets file-dialog buffers of an
// earlier runtime heap. Called by runtime_start once the runtime heap exists.
void gui_init();

// The back end in use: the text back end until gui_init chose another.
const GuiBackend* gui_backend();

// Puts a back end in place, with its window system; null brings back the text back end.
void gui_set_backend(const GuiBackend* backend);
