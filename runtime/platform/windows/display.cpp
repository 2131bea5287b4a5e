#include "platform/display.h"

// The Windows programs show the system's own dialogs: no X display is ever asked.
bool display_answers(const char*, int) { return false; }
