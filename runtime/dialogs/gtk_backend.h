// Dialogs as GTK 3 windows: the standard file chooser and a message dialog.
//
// GTK is kept from spoiling the terminal the programs run in: its log output never
// reaches a terminal, the process locale stays as it was, no GL is loaded, and every
// dialog is gone from the screen before the call returns. Only the thread that started
// GTK shows these dialogs; on any other thread they fail (box 0, no file chosen).
#pragma once
#include "dialogs/gui.h"

// This back end is built as a module of its own (libkvgtk.so) that gui_init loads only when
// a display may be there, so that programs on a plain terminal never map GTK.

// Opens the display. Returns true when GTK is ready (also when it was already); false,
// quickly and silently, when no display can be opened. Later calls after a failure try
// again.
bool gtk_backend_start();

extern const GuiBackend gtk_backend;

// The module's entry, found by name: starts GTK (*started tells whether the display
// opened) and returns the back end.
extern "C" const GuiBackend* kv_gtk_backend_open(bool* started);
