#include "dialogs/modal_guard.h"

#include "platform/process.h"

ListNode* modal_guard_list = nullptr;

namespace {

constexpr int32_t kEntrySize = static_cast<int32_t>(sizeof(ListNode) + sizeof(ModalGuardEntry));

ModalGuardEntry* entry_of(ListNode* node) { return static_cast<ModalGuardEntry*>(list_payload(node)); }

}  // namespace

WindowHandle owner_window() {
  WindowSystem* ws = window_system();
  WindowHandle foreground = ws->foreground();
  if (!foreground) return nullptr;
  if (ws->window_process(foreground) != process_id()) return nullptr;
  return foreground;
}

void modal_guard_enter() {
  WindowSystem* ws = window_system();
  uint32_t thread = process_thread_id();
  WindowHandle foreground = ws->foreground();
  for (WindowHandle window : ws->top_level_windows()) {
    if (ws->window_thread(window) != thread) continue;
    if (!ws->is_visible(window)) continue;
    auto* entry = static_cast<ModalGuardEntry*>(list_insert(&modal_guard_list, kEntrySize));
    // Without an entry nothing could be given back later: the window is not touched.
    if (!entry) continue;
    entry->thread_id = thread;
    entry->window = window;
    if (ws->is_topmost(window)) entry->was_topmost = 1;
    if (window != foreground && ws->is_enabled(window)) {
      entry->disabled_by_guard = 1;
      ws->set_enabled(window, false);
    }
  }
  for (ListNode* node = modal_guard_list; node; node = node->next) {
    ModalGuardEntry* entry = entry_of(node);
    if (entry->thread_id == thread && entry->was_topmost) ws->set_topmost(entry->window, false);
  }
}

void modal_guard_leave() {
  WindowSystem* ws = window_system();
  uint32_t thread = process_thread_id();
  ListNode* node = modal_guard_list;
  while (node) {
    ListNode* next = node->next;
    ModalGuardEntry* entry = entry_of(node);
    if (entry->thread_id == thread) {
      if (entry->disabled_by_guard) ws->set_enabled(entry->window, true);
      if (entry->was_topmost) ws->set_topmost(entry->window, true);
      list_remove(&modal_guard_list, entry);
    }
    node = next;
  }
}
