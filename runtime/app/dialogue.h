// The dialogue pieces both programs share: the port prompt, the banners and the pause for
// Enter.
#pragma once
#include <cstdint>

#include "strings/area.h"

// Asks "Bitte den Port eingeben (1-9999): " until the typed text gives a port (see
// port_read, PORT_TYPED), saying "Fehler: Kein gueltiger Port!" after each other
// text. The typed line is left in port_text. Returns the port, or 0 when input has ended
// (the caller then leaves instead of asking for ever).
int32_t dialogue_ask_port(StringVar* port_text);

// Prints "Bitte Enter druecken ..." and waits for one line, which is thrown away.
void dialogue_pause();

// Waits for one line and throws it away.
void dialogue_wait_enter();

// The banners both programs print once their questions are answered: the title line, a
// rule of 37 plus signs and "Gestartet ..."; dialogue_print_rule closes them.
void dialogue_print_banner_head(const char* title);
void dialogue_print_rule();

// Prints the texts one after another as one line (null texts count as empty).
void dialogue_print_joined(const char* first, const char* second, const char* third = nullptr);
