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

// The system's own dialogs, or null where it has none. Whether a desktop is there to show
// them on is found out when the first one is to be shown.
const DesktopDialogs* desktop_dialogs();

// Where the dialogs come from a desktop library loaded as a module (Linux: the GTK module),
// while it runs: standard error, when a terminal, is swapped for the null device, as the
// libraries below it may write there directly over the console's screen; and the
// terminal's hang-up is held back from the calling thread, so the threads the library
// starts never take it away from the console. desktop_quiet_end puts both back (errno is
// kept by both). Null when nothing could be saved; desktop_quiet_end takes null too.
struct DesktopQuiet;
DesktopQuiet* desktop_quiet_begin();
void desktop_quiet_end(DesktopQuiet* quiet);
