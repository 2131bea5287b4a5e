// The modal guard: while the runtime shows a modal dialog, the calling thread's other
// visible top-level windows are disabled (all but the foreground window) and taken out of
// the topmost band; afterwards the guard gives back what it took.
#pragma once
#include <cstdint>

#include "core/list.h"
#include "dialogs/window_system.h"

// One window recorded by modal_guard_enter.
struct ModalGuardEntry {
  uint32_t thread_id;         // the thread that entered the guard
  WindowHandle window;        // the recorded top-level window
  uint8_t was_topmost;        // 1: the window was in the topmost band when recorded
  uint8_t disabled_by_guard;  // 1: the guard disabled the window
};

// The process-wide guard list (elements on the runtime heap, newest first). Empty outside
// a guarded dialog. Not locked: only one thread shows dialogs at a time.
extern ListNode* modal_guard_list;

// The foreground window when it belongs to this process, otherwise null.
WindowHandle owner_window();

// Records every visible top-level window of the calling thread, disables the enabled ones
// other than the foreground window, and takes the topmost ones out of the topmost band.
// A window for which no list entry can be had is left exactly as it is.
void modal_guard_enter();

// For every entry of the calling thread, newest first: enables the window again when the
// guard disabled it, puts it back into the topmost band when it was there, and removes
// the entry. Entries of other threads stay.
void modal_guard_leave();
