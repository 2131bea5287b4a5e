// The dialog back end of the system's own dialogs (platform/desktop.h), for systems that
// have them built in; where no desktop is there, the text back end's dialogs stand in.
#pragma once
#include "dialogs/gui.h"
#include "platform/desktop.h"

extern const GuiBackend desktop_backend;

// The system's dialogs the back end shows (desktop_offer's); set before it is chosen.
void desktop_backend_use(const DesktopDialogs* dialogs);
