// The message box: a caption, a text and buttons, modal, bracketed by the modal guard.
#pragma once
#include <cstdint>

// Button sets: the low four bits of the flags.
constexpr uint32_t MB_OK = 0x0;
constexpr uint32_t MB_OKCANCEL = 0x1;
constexpr uint32_t MB_ABORTRETRYIGNORE = 0x2;
constexpr uint32_t MB_YESNOCANCEL = 0x3;
constexpr uint32_t MB_YESNO = 0x4;
constexpr uint32_t MB_RETRYCANCEL = 0x5;
constexpr uint32_t MB_TYPEMASK = 0xF;
// Icons: the next four bits.
constexpr uint32_t MB_ICONERROR = 0x10;
constexpr uint32_t MB_ICONQUESTION = 0x20;
constexpr uint32_t MB_ICONWARNING = 0x30;
constexpr uint32_t MB_ICONINFORMATION = 0x40;
constexpr uint32_t MB_ICONMASK = 0xF0;
// The default button (the first one unless one of these is set).
constexpr uint32_t MB_DEFBUTTON2 = 0x100;
constexpr uint32_t MB_DEFBUTTON3 = 0x200;
constexpr uint32_t MB_DEFMASK = 0xF00;

// Identifiers of the buttons, as message_box returns them.
constexpr int32_t IDOK = 1;
constexpr int32_t IDCANCEL = 2;
constexpr int32_t IDABORT = 3;
constexpr int32_t IDRETRY = 4;
constexpr int32_t IDIGNORE = 5;
constexpr int32_t IDYES = 6;
constexpr int32_t IDNO = 7;

// Shows a box with the caption, the text (a line feed starts a new line) and the buttons
// and icon of the flags, owned by owner_window() asked inside the guard. Returns the
// identifier of the button that closed it, 0 when the box cannot be shown.
int32_t message_box(const char* caption, const char* text, uint32_t flags);

// message_box with flags 0: one OK button, no icon. Returns IDOK once confirmed.
int32_t message_box_ok(const char* caption, const char* text);

// The buttons of a button set, in the order shown: fills ids (room for 3) and returns how
// many there are. An unknown set is shown as MB_OK.
int32_t message_box_buttons(uint32_t flags, int32_t ids[3]);

// The button a box of these flags gives when the user closes it without choosing
// (Escape, end of input, the window's close button): Cancel where the set has one, OK
// for a box with only OK, otherwise 0 (such a box cannot be closed that way).
int32_t message_box_close_result(uint32_t flags);

// The index (0-based) of the default button of the flags within message_box_buttons.
int32_t message_box_default_index(uint32_t flags);
