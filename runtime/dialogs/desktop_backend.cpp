#include "dialogs/desktop_backend.h"

#include "dialogs/text_backend.h"
#include "platform/desktop.h"

namespace {
const DesktopDialogs* g_dialogs = nullptr;

int32_t desktop_box(WindowHandle owner, const char* caption, const char* text, uint32_t flags) {
  int32_t shown = g_dialogs->message_box(owner, caption, text, flags);
  return shown >= 0 ? shown : text_backend.message_box(owner, caption, text, flags);
}

int32_t desktop_dialog(FileDialogRequest* r) {
  int32_t shown = g_dialogs->file_dialog(r->owner, r->kind == 1, r->title, r->initial_directory, r->file,
                                         r->file_size, r->filter, r->filter_index, r->flags);
  return shown >= 0 ? shown : text_backend.file_dialog(r);
}
}  // namespace

void desktop_backend_use(const DesktopDialogs* dialogs) { g_dialogs = dialogs; }

const GuiBackend desktop_backend = {"desktop", nullptr, desktop_box, desktop_dialog};
