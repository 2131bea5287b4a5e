#include "sender/sender.h"

#include "console/console.h"
#include "console/prompt.h"
#include "console/transfer_status.h"
#include "core/heaps.h"
#include "app/lifecycle.h"
#include "core/timing.h"
#include "dialogs/file_dialog.h"
#include "dialogs/message_box.h"
#include "net/connect.h"
#include "net/net.h"
#include "net/server.h"
#include "net/transfer.h"
#include "strings/area.h"
#include "strings/number.h"

namespace {

// The sender's state; every text starts out empty.
struct Sender {
  StringVar file_path = nullptr;
  StringVar port_text = nullptr;
  StringVar ip_text = nullptr;
  void* work_buffer = nullptr;
};

void print_banner(const Sender& s) {
  console_print_banner_head("Sender v1.0.0");
  console_print_joined("Datei: ", s.file_path);
  console_print_joined("Port:", s.port_text);
  console_print_joined("IP:", s.ip_text);
  console_print_rule();
  console_print_line("Suche nach Empfänger ...");
}

// Sends the chosen file over the connection and says whether it went out whole. A file
// that could not be sent (none chosen, unreadable, too large, a broken connection) is
// reported as such instead of as a success.
void send_and_report(Sender& s, NetConnection* conn) {
  console_print_line("Verbunden zum Empfaenger ...");
  delay_ms(1000);
  net_set_progress(transfer_status_update, nullptr);
  transfer_status_begin();
  int32_t ok = net_send_file(conn, s.file_path);
  transfer_status_end();
  if (ok) {
    console_print_joined("Die Datei wurde zum Empfaenger gesendet ... (", s.file_path, ")");
  } else {
    console_print_line("Fehler: Die Datei konnte nicht gesendet werden!");
  }
  console_print_line("Bitte Enter druecken ...");
  net_connection_close(conn);
  console_wait_enter();
}

}  // namespace

void sender_main() {
  runtime_start();
  Sender s;
  message_box_ok("Wichtige Information",
                 "Fragen sie erst den Empfänger ob er bereit ist den erst dann,\n"
                 "kann die Datei gesendet werden!");
  if (!net_init()) {
    message_box_ok("Error!", "Can't initialize the network !\nKann Netzwerk nicht initalisieren!");
    runtime_exit();
  }
  console_open();
  console_title("Sender v2.0.1");
  console_set_raw_mode(1);

  console_print("Bitte Datei zum Laden auswählen ... ");
  int32_t mark = str_area_top();
  file_dialog_open("Bitte Datei zum Laden auswählen", "C:", "Alle Dateien (*.*)|*.*", 0, mark);
  str_area_take(&s.file_path, mark);
  console_clear();

  if (console_ask_port(&s.port_text) == 0) runtime_exit();  // input has ended
  console_clear();

  console_print("Bitte die IP eingeben (0.0.0.0): ");
  mark = str_area_top();
  console_input_line(mark);
  str_area_take(&s.ip_text, mark);
  if (console_input_ended(s.ip_text)) runtime_exit();
  console_clear();

  print_banner(s);
  s.work_buffer = mem_alloc(1000);
  // The port was accepted as 1..9999, so its low 32 bits are the whole value.
  auto port = static_cast<int32_t>(str_to_int64(s.port_text));
  NetConnection* conn = net_connect_tcp(s.ip_text, port);
  if (!conn) {
    console_print_line("Kann Empfaenger nicht finden (Ist er bereit?|Ist der Port frei?)");
    console_pause();
  } else {
    send_and_report(s, conn);
  }
  mem_free(s.work_buffer);
  runtime_exit();
}
