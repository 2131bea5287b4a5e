#include "dialogs/message_box.h"

#include "dialogs/gui.h"
#include "dialogs/modal_guard.h"

int32_t message_box(const char* caption, const char* text, uint32_t flags) {
  modal_guard_enter();
  int32_t result = gui_backend()->message_box(owner_window(), caption, text, flags);
  modal_guard_leave();
  return result;
}

int32_t message_box_ok(const char* caption, const char* text) { return message_box(caption, text, 0); }

int32_t message_box_buttons(uint32_t flags, int32_t ids[3]) {
  switch (flags & MB_TYPEMASK) {
    case MB_OKCANCEL:
      ids[0] = IDOK;
      ids[1] = IDCANCEL;
      return 2;
    case MB_ABORTRETRYIGNORE:
      ids[0] = IDABORT;
      ids[1] = IDRETRY;
      ids[2] = IDIGNORE;
      return 3;
    case MB_YESNOCANCEL:
      ids[0] = IDYES;
      ids[1] = IDNO;
      ids[2] = IDCANCEL;
      return 3;
    case MB_YESNO:
      ids[0] = IDYES;
      ids[1] = IDNO;
      return 2;
    case MB_RETRYCANCEL:
      ids[0] = IDRETRY;
      ids[1] = IDCANCEL;
      return 2;
    default: ids[0] = IDOK; return 1;
  }
}

int32_t message_box_close_result(uint32_t flags) {
  int32_t ids[3];
  int32_t count = message_box_buttons(flags, ids);
  for (int32_t i = 0; i < count; ++i)
    if (ids[i] == IDCANCEL) return IDCANCEL;
  return count == 1 ? IDOK : 0;
}

int32_t message_box_default_index(uint32_t flags) {
  int32_t ids[3];
  int32_t count = message_box_buttons(flags, ids);
  int32_t index = (flags & MB_DEFMASK) == MB_DEFBUTTON2 ? 1 : (flags & MB_DEFMASK) == MB_DEFBUTTON3 ? 2 : 0;
  return index < count ? index : 0;
}
