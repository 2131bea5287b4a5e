// The save and open file dialogs. The chosen path comes back as a temporary text on the
// calling thread's string area, at the position the caller passes (its mark from
// str_area_top()); the area's top is left at the text's terminating zero. Take it with
// str_area_take(&var, mark), or use it and str_area_reset(mark):
//
//   int32_t mark = str_area_top();
//   file_dialog_save(title, "C:\\", "Alle Dateien (*.*)|*.*", 0, mark);
//   str_area_take(&save_path, mark);
//
// The text is the full path chosen, at most PATH_MAX - 1 bytes (any path the system
// takes), or empty when the user cancelled, the dialog failed or a buffer could not be had.
#pragma once
#include <climits>
#include <cstdint>

// Dialog flags (FileDialogRequest::flags).
constexpr uint32_t OFN_OVERWRITEPROMPT = 0x2;     // ask before replacing a file
constexpr uint32_t OFN_HIDEREADONLY = 0x4;        // no read-only box
constexpr uint32_t OFN_NOCHANGEDIR = 0x8;         // the current directory stays
constexpr uint32_t OFN_ALLOWMULTISELECT = 0x200;  // several files may be chosen
constexpr uint32_t OFN_PATHMUSTEXIST = 0x800;     // the chosen file's folder must exist
constexpr uint32_t OFN_FILEMUSTEXIST = 0x1000;    // the chosen file must exist
constexpr uint32_t OFN_EXPLORER = 0x80000;        // folder and names as separate texts

// The flags of a single selection and of a multiple selection.
constexpr uint32_t FILE_DIALOG_FLAGS = OFN_EXPLORER | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY;
constexpr uint32_t FILE_DIALOG_MULTI_FLAGS = FILE_DIALOG_FLAGS | OFN_ALLOWMULTISELECT;

// The file-name buffer and the result hold any path the system takes, with its zero
// (path_max_bytes).
constexpr int32_t FILE_DIALOG_BUFFER_SIZE = 4096;
constexpr int32_t FILE_DIALOG_MULTI_BUFFER_SIZE = 512000;

// What both back ends say when a chosen path is longer than that; the question follows again.
inline constexpr char FILE_DIALOG_TOO_LONG[] = "Der Pfad ist zu lang (hoechstens 4095 Bytes).";
static_assert(FILE_DIALOG_BUFFER_SIZE == 4096, "the message names the limit");

// The last call's file-name buffer (runtime heap), released when the next call begins.
extern char* file_dialog_buffer;
// The multiple-selection buffer, released when the next open dialog begins.
extern char* file_dialog_multi_buffer;
// The folder of the last multiple selection, with a separator at its end.
extern char file_dialog_directory[FILE_DIALOG_BUFFER_SIZE];

// Shows the save dialog (kind 1) or the open dialog (kind 0) and builds the result text at
// position (see above).
//   title: the caption, null for the back end's own.
//   initial_path: split at its last backslash (not the first character) into the initial
//     folder and the proposed name; without one, all of it is the proposed name and the
//     initial folder is empty. A proposed name that is not a valid file name is dropped.
//   filter: descriptions and patterns in turn, separated by '|' ("Texte|*.txt|Alle|*");
//     null is an empty filter. pattern_index: 0-based pair to preselect.
//   options: bit 0 allows a multiple selection (the result is then the folder joined with
//     the first name chosen); other bits are ignored.
// Returns the result text (str_area_base() + position).
char* file_dialog(const char* title, const char* initial_path, const char* filter, int32_t pattern_index,
                  int32_t kind, uint32_t options, int32_t position);

// file_dialog with kind 1 (save) and options 0. The save dialog does not ask before
// replacing a file; its folder must exist.
char* file_dialog_save(const char* title, const char* initial_path, const char* filter, int32_t pattern_index,
                       int32_t position);

// file_dialog with kind 0 (open) and options 0. A name of a file that does not exist is
// accepted when its folder exists.
char* file_dialog_open(const char* title, const char* initial_path, const char* filter, int32_t pattern_index,
                       int32_t position);

// True when the text can be a file name: not null, not empty, no byte below 32 and none
// of " * / : < > ? \ |. Bytes from 128 up (UTF-8 letters) are valid.
bool is_valid_file_name(const char* text);

// Drops the buffers without releasing them: their heap has been destroyed and replaced.
// gui_init calls it; tests that recreate the runtime heap call it too.
void file_dialog_forget_buffers();
