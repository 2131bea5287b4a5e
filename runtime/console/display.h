// What raw output sends to the terminal for a text: clipped to a number of columns and
// with every byte a terminal would act on shown visibly. Pure.
#pragma once
#include <climits>
#include <cstddef>
#include <string>

// Length of the UTF-8 character that lead opens: 2 to 4, or 0 for a byte that opens none
// (ASCII, a continuation byte, an overlong or out-of-range lead).
int console_utf8_length(unsigned char lead);

// Returns the bytes to write for text[0..n) within at most columns columns, and the
// columns they take in *used (may be null). A UTF-8 character is one column and is never
// split; a control byte (0x00-0x1F, 0x7F) is shown in caret form ("^[" for ESC, "^?" for
// DEL, two columns); a C1 control character (U+0080-U+009F) and a byte that is no part of
// a valid UTF-8 character are shown as "?". A piece that does not fit whole ends the text.
std::string console_visible(const char* text, size_t n, int columns = INT_MAX, int* used = nullptr);

// Columns that console_visible gives the last character of text[0..n), and its bytes in
// *bytes: what a Backspace takes back.
int console_last_char(const char* text, size_t n, size_t* bytes);

// Columns that console_visible gives the whole of text[0..n).
int console_columns(const char* text, size_t n);

// Columns a line being typed keeps for its text at least: a prompt that would leave fewer
// is shown cut once the text no longer fits beside it.
constexpr int CONSOLE_EDIT_MIN_COLUMNS = 8;

// The bytes that draw a line being typed anew, in one piece: CR, the prompt, the text,
// erase to the line's end; the cursor then stands behind the text, never in the
// terminal's last column. When the text does not fit beside the prompt, the prompt is
// cut so that the text keeps at least CONSOLE_EDIT_MIN_COLUMNS, and only the end of the
// text is shown, behind a '<' that says more lies to the left. The text's characters are
// never split. *cursor (may be null) gets the cursor's column. Pure.
std::string console_edit_line(const std::string& prompt, const char* text, size_t n, int width, int* cursor);
