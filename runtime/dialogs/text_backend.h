// Dialogs on the terminal, for when no display can be opened: read and written through
// the console (console.h), so they work on a terminal and through pipes alike.
//
// The file dialog starts on a fresh line, shows its title on a line of its own and reads
// one line, the path. A relative path is taken from the current directory; the result is
// absolute. An empty line or the end of input cancels. While the folder of the path does
// not exist (or the path is a folder) it says why on a short line and asks again; so it
// does for a path the system would not take (PATH_MAX bytes or more).
//
// The message box shows the caption and then every line of the text on a line of its
// own, and waits for Enter (or for the choice of a button where there are several).
//
// Control bytes of titles, texts and echoed paths are shown in caret form (^[ for ESC),
// never sent to the terminal as they are.
#pragma once
#include <string>

#include "dialogs/gui.h"

extern const GuiBackend text_backend;

// Why the save dialog would ask again for this path (a folder, a folder that does not
// exist, no file name, too long), in the words it says so; empty when it takes the path.
// An empty path has no file name.
std::string text_save_path_refusal(const char* path);
