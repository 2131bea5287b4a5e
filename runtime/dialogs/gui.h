// The dialog back end's start-up.
#pragma once

// Chooses and prepares the back end of the dialogs.
void gui_init();
