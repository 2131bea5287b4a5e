#include "app/dialogue.h"

#include "console/console.h"
#include "app/port.h"

int32_t dialogue_ask_port(StringVar* port_text) {
  for (;;) {
    console_print("Bitte den Port eingeben (" PORT_RANGE_TEXT "): ");
    int32_t mark = str_area_top();
    console_input_line(mark);
    str_area_take(port_text, mark);
    if (console_input_ended(*port_text)) return 0;
    if (int32_t port = port_read(*port_text, PORT_TYPED)) return port;
    console_print_line("Fehler: Kein gueltiger Port!");
    str_assign(port_text, "");
  }
}

void dialogue_wait_enter() {
  int32_t mark = str_area_top();
  console_input_line(mark);
  str_area_reset(mark);
}

void dialogue_pause() {
  console_print_line("Bitte Enter druecken ...");
  dialogue_wait_enter();
}

void dialogue_print_joined(const char* first, const char* second, const char* third) {
  int32_t mark = str_area_top();
  str_area_append(first);
  str_area_append(second);
  str_area_append(third);
  str_area_commit();
  console_print_line(str_area_base() + mark);
  str_area_reset(mark);
}

void dialogue_print_rule() { console_print_line("+++++++++++++++++++++++++++++++++++++"); }

void dialogue_print_banner_head(const char* title) {
  console_print_line(title);
  dialogue_print_rule();
  console_print_line("Gestartet ...");
}
