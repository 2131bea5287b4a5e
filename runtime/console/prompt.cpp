#include "console/prompt.h"

#include "console/console.h"
#include "strings/number.h"

bool console_input_ended(const char* text) {
  return text && text[0] == CONSOLE_END_OF_INPUT && text[1] == 0 && console_input_at_end();
}

int32_t console_port_value(const char* text) {
  int64_t value = str_to_int64(text);
  return value >= 1 && value <= 9999 ? static_cast<int32_t>(value) : 0;
}

int32_t console_ask_port(StringVar* port_text) {
  for (;;) {
    console_print("Bitte den Port eingeben (1-9999): ");
    int32_t mark = str_area_top();
    console_input_line(mark);
    str_area_take(port_text, mark);
    if (console_input_ended(*port_text)) return 0;
    if (int32_t port = console_port_value(*port_text)) return port;
    console_print_line("Fehler: Kein gueltiger Port!");
    str_assign(port_text, "");
  }
}

void console_wait_enter() {
  int32_t mark = str_area_top();
  console_input_line(mark);
  str_area_reset(mark);
}

void console_pause() {
  console_print_line("Bitte Enter druecken ...");
  console_wait_enter();
}

void console_print_joined(const char* first, const char* second, const char* third) {
  int32_t mark = str_area_top();
  str_area_append(first);
  str_area_append(second);
  str_area_append(third);
  str_area_commit();
  console_print_line(str_area_base() + mark);
  str_area_reset(mark);
}

void console_print_rule() { console_print_line("+++++++++++++++++++++++++++++++++++++"); }

void console_print_banner_head(const char* title) {
  console_print_line(title);
  console_print_rule();
  console_print_line("Gestartet ...");
}
