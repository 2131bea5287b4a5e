#include "dialogs/gui.h"

// Placeholder until the dialogs land.
void gui_init() {}
