// The system's own message box and file dialogs, where the system has them built in (on
// Linux the GTK module stands in for them, see dialogs/gui.h). Flags, button identifiers
// and filters are those of dialogs/message_box.h and dialogs/file_dialog.h.
#pragma once
#include <cstdint>

struct DesktopDialogs {
  // Shows the system's message box. Returns the identifier of the button that closed it,
  // 0 when it cannot be shown, -1 when no desktop is there to show it on.
  int32_t (*message_box)(void* owner, const char* caption, const char* text, uint32_t flags);

  // Shows the system's save dialog (save set) or open dialog, owned by owner (null:
  // none), with title and initial folder (null: the system's choice), the filter pairs
  // (each text zero-terminated, an extra zero after the last) and the 1-based pair
  // preselected. file holds the proposed name on entry; on a confirmed choice it gets the
  // full path, or with a multiple selection the folder and the names one after another,
  // each zero-terminated with an extra zero at the end, all in UTF-8 and shorter than
  // file_size. Returns 1 when the user confirmed a choice that fits, 0 otherwise, -1 when
  // no desktop is there.
  int32_t (*file_dialog)(void* owner, bool save, const char* title, const char* initial_folder, char* file,
                         int32_t file_size, const char* filter, int32_t filter_index, uint32_t flags);
};

// A desktop library's dialogs in a module of its own, loaded at run time: the module's
// file, looked for beside the program and then in relative_folder (taken from the
// program's folder), and the symbol of its entry.
struct DesktopLibrary {
  const char* file_name;
  const char* relative_folder;
  const char* entry;
};

// Where this desktop's dialogs come from: the system's own, or a desktop library's module.
// Both null: nowhere, the dialogs stay on the terminal.
struct DesktopOffer {
  const DesktopDialogs* system = nullptr;  // whether a desktop is there is found out when
                                           // the first dialog is to be shown
  void* library_entry = nullptr;           // the library's entry symbol
};

// Which dialogs this desktop offers. The system's own where it has them built in (Windows).
// Otherwise (Linux) the library's module, where a display is there to show them on: a
// Wayland display is taken as named, an X display only when it answers within limit_ms (a
// desktop library waits minutes for a display whose host drops packets, or for ever for a
// server that never answers); with without_display it is loaded all the same. The module
// is loaded only where the system's administrator or this user alone can have put it (the
// file and the folder it really lies in).
DesktopOffer desktop_offer(const DesktopLibrary& library, int limit_ms, bool without_display);

// Where the dialogs come from a desktop library loaded as a module (Linux: the GTK module),
// while it runs: standard error, when a terminal, is swapped for the null device, as the
// libraries below it may write there directly over the console's screen; and the
// terminal's hang-up is held back from the calling thread, so the threads the library
// starts never take it away from the console. desktop_quiet_end puts both back (the
// outcome is kept by both). Null when nothing could be saved; desktop_quiet_end takes null too.
struct DesktopQuiet;
DesktopQuiet* desktop_quiet_begin();
void desktop_quiet_end(DesktopQuiet* quiet);
