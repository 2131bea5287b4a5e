#include "platform/desktop.h"

// Linux has no dialogs of its own: the GTK module brings them where a display is.
bool desktop_dialogs_exist() { return false; }

int32_t desktop_message_box(void*, const char*, const char*, uint32_t) { return -1; }

int32_t desktop_file_dialog(void*, bool, const char*, const char*, char*, int32_t, const char*, int32_t,
                            uint32_t) {
  return -1;
}
