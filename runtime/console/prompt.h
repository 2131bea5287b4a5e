// The dialogue pieces both programs share: the port prompt and the pause for Enter.
#pragma once
#include <cstdint>

#include "strings/area.h"

// True when a line input met the end of input (the one-byte text 0x04 given at the end;
// a typed Ctrl+D alone is a line like others).
bool console_input_ended(const char* text);

// The port a text gives: the text read as a number (as str_to_int64 reads it), when it is
// from 1 to 9999 (full 64-bit comparison). Returns 0 for any other text.
int32_t console_port_value(const char* text);

// Asks "Bitte den Port eingeben (1-9999): " until the typed text gives a port (see
// console_port_value), saying "Fehler: Kein gueltiger Port!" after each other
// text. The typed line is left in port_text. Returns the port, or 0 when input has ended
// (the caller then leaves instead of asking for ever).
int32_t console_ask_port(StringVar* port_text);

// Prints "Bitte Enter druecken ..." and waits for one line, which is thrown away.
void console_pause();

// Waits for one line and throws it away.
void console_wait_enter();

// The banners both programs print once their questions are answered: the title line, a
// rule of 37 plus signs and "Gestartet ..."; console_print_rule closes them.
void console_print_banner_head(const char* title);
void console_print_rule();

// Prints the texts one after another as one line (null texts count as empty).
void console_print_joined(const char* first, const char* second, const char* third = nullptr);
