#include "sender/sender.h"

#include "console/console.h"
#include "app/dialogue.h"
#include "app/exit_status.h"
#include "app/port.h"
#include "app/transfer_status.h"
#include "core/heaps.h"
#include "app/lifecycle.h"
#include "core/timing.h"
#include "platform/clock.h"
#include "dialogs/file_dialog.h"
#include "dialogs/message_box.h"
#include "console/status.h"
#include "net/connect.h"
#include "net/deadline.h"
#include "net/discovery.h"
#include "net/net.h"
#include "net/server.h"
#include "net/transfer.h"
#include "strings/area.h"

namespace {

// The sender's state; every text starts out empty.
struct Sender {
  StringVar file_path = nullptr;
  StringVar port_text = nullptr;
  StringVar ip_text = nullptr;
  void* work_buffer = nullptr;
  DiscoveredService found;  // the receiver found on the network that the typed address names
  bool picked = false;
};

// The receivers found on the network, numbered, on the line below the address prompt;
// redrawn while the prompt waits, drawn only once one is found.
void show_found_receivers() {
  static std::string shown;
  std::string line;
  int number = 0;
  for (const DiscoveredService& found : discovery_found()) {
    line += number == 0 ? "Im Netz gefunden: " : "  ";
    line += std::to_string(++number) + ") " + found.instance;
  }
  if (line == shown) return;
  shown = line;
  console_status_below(line.c_str());
}

// Why no connection was made, where the library could tell.
const char* unreachable_reason(int32_t failure) {
  switch (failure) {
    case NET_CONNECT_REFUSED: return "Dort wartet niemand auf diesem Port (Verbindung abgelehnt)!";
    case NET_CONNECT_NO_ANSWER: return "Keine Antwort (Firewall, falsche Adresse oder ein Netz, das Geraete trennt)!";
    case NET_CONNECT_UNKNOWN_NAME: return "Der Name ist unbekannt!";
    case NET_CONNECT_NO_NETWORK: return "Das Netz ist von hier aus nicht erreichbar!";
    default: return nullptr;
  }
}

// The banner; its last line, the search, follows once the file is found sendable.
void print_banner(const Sender& s) {
  dialogue_print_banner_head("Sender v1.0.0");
  dialogue_print_joined("Datei: ", s.file_path);
  dialogue_print_joined("Port:", s.port_text);
  dialogue_print_joined("IP:", s.ip_text);
  dialogue_print_rule();
}

// The reason, in the user's words, why net_check_send_file refused a file.
const char* unsendable_reason(int32_t check) {
  switch (check) {
    case NET_FILE_NONE: return "Keine Datei ausgewaehlt!";
    case NET_FILE_MISSING: return "Datei nicht gefunden!";
    case NET_FILE_UNREADABLE: return "Keine Leserechte!";
    case NET_FILE_NOT_REGULAR: return "Keine normale Datei!";
    case NET_FILE_TOO_LARGE: return "Datei zu gross (2 GiB oder mehr)!";
    default: return "Datei kann nicht geoeffnet werden!";
  }
}

// Sends the chosen file over the connection and waits for the receiver's word on it: the
// file counts as sent only once the receiver closed the connection in order, which it
// does after storing it. A file that could not be sent after all (it changed since it was
// checked, the connection broke) or that the receiver did not store is reported as such;
// the connection is then aborted, so the receiver never stores it later. Returns true
// when the receiver stored it; from then on a close of the terminal ends with the status
// of a file sent.
bool send_and_report(Sender& s, NetConnection* conn, const CommandLine& line) {
  console_print_line("Verbunden zum Empfaenger ...");
  clock_sleep_ms(1000);
  net_set_progress(transfer_status_update, nullptr);
  transfer_status_begin("Warte auf den Empfaenger ...", net_stall_limit());
  int32_t receipt = NET_RECEIPT_REFUSED;
  bool sent = net_send_file(conn, s.file_path) != 0;
  if (sent) {
    transfer_status_wait("Warte auf die Bestaetigung des Empfaengers ...");
    receipt = net_await_receipt(conn);
  }
  transfer_status_end();
  bool stored = receipt == NET_RECEIPT_STORED;
  exit_status_note(line, stored);
  if (stored) {
    dialogue_print_joined("Die Datei wurde zum Empfaenger gesendet ... (", s.file_path, ")");
  } else {
    console_print_line("Fehler: Die Datei konnte nicht gesendet werden!");
    // A receiver that took no byte for the bound, or said nothing, has not answered.
    bool silent = sent ? receipt == NET_RECEIPT_SILENT : net_send_stalled();
    if (silent)
      console_print_line("Der Empfaenger hat nicht geantwortet!");
    else if (sent)
      console_print_line("Der Empfaenger hat die Datei nicht gespeichert!");
  }
  console_print_line("Bitte Enter druecken ...");
  net_connection_close(conn);
  dialogue_wait_enter();
  return stored;
}

// Connects to the receiver; while no answer has come, the status line says that it is
// still trying. Returns null when no connection was made.
NetConnection* connect_to_receiver(const Sender& s) {
  net_set_connect_progress(transfer_status_connecting, nullptr);
  NetConnection* conn = s.picked ? net_connect_tcp(s.found.address.c_str(), s.found.port)
                                 : net_connect_tcp(s.ip_text, port_read(s.port_text, PORT_TYPED));
  transfer_status_end();
  return conn;
}

}  // namespace

void sender_main(const CommandLine& line) {
  runtime_start();
  Sender s;
  const char* file = line.answers[0];
  const char* address = line.answers[1];
  const int32_t failed = command_line_status(line, false);
  // With every answer given a script runs this: nobody is there to confirm a box, and
  // nobody to end a wait for a receiver that takes nothing, so such waits have a bound.
  // A person at the keyboard waits as long as they like.
  bool script = file && address && line.port_text;
  net_set_person_waits(!script);
  if (script) {
    console_print_line(
        "Fragen sie erst den Empfänger ob er bereit ist den erst dann, kann die Datei gesendet werden!");
  } else {
    message_box_ok("Wichtige Information",
                   "Fragen sie erst den Empfänger ob er bereit ist den erst dann,\n"
                   "kann die Datei gesendet werden!");
  }
  if (!net_init()) {
    message_box_ok("Error!", "Can't initialize the network !\nKann Netzwerk nicht initalisieren!");
    runtime_exit(failed);
  }
  net_browse();  // the receivers on the network are found while the questions are answered
  console_open();
  exit_status_note(line, false);
  console_title("Sender v2.0.1");
  console_set_raw_mode(1);
  // A file manager hands on every file chosen; one transfer carries one file, and a
  // receiver stores each one under the same name, so several are refused, not guessed at.
  if (line.files_given > 1) {
    console_print_line("Fehler: Die Datei konnte nicht gesendet werden!");
    const std::string chosen = "Es kann nur eine Datei auf einmal gesendet werden (" +
                               std::to_string(line.files_given) + " gewaehlt).";
    console_print_line(chosen.c_str());
    dialogue_pause();
    runtime_exit(COMMAND_LINE_WRONG_USAGE);
  }

  // Each answer given on the command line skips its question and the clearing after it.
  int32_t mark = str_area_top();
  if (file) {
    str_assign(&s.file_path, file);
  } else {
    console_print("Bitte Datei zum Laden auswählen ... ");
    file_dialog_open("Bitte Datei zum Laden auswählen", "C:", "Alle Dateien (*.*)|*.*", 0, mark);
    str_area_take(&s.file_path, mark);
    console_clear();
  }

  if (line.port_text) {
    str_assign(&s.port_text, line.port_text);
  } else {
    if (dialogue_ask_port(&s.port_text) == 0) runtime_exit(failed);  // input has ended
    console_clear();
  }

  if (address) {
    str_assign(&s.ip_text, address);
  } else {
    console_print("Bitte die IP eingeben (0.0.0.0): ");
    console_set_input_idle(show_found_receivers, 300);
    mark = str_area_top();
    console_input_line(mark);
    console_set_input_idle(nullptr, 0);
    str_area_take(&s.ip_text, mark);
    if (console_input_ended(s.ip_text)) runtime_exit(failed);
    console_clear();
    s.picked = net_browse_pick(s.ip_text, &s.found);
  }

  print_banner(s);
  s.work_buffer = mem_alloc(1000);
  // A file that cannot be sent is found out before connecting: a connection that brought
  // nothing would end the receiver's serving.
  int32_t check = net_check_send_file(s.file_path);
  bool sent = false;
  if (check != NET_FILE_SENDABLE) {
    console_print_line("Fehler: Die Datei konnte nicht gesendet werden!");
    console_print_line(unsendable_reason(check));
    dialogue_pause();
  } else {
    console_print_line("Suche nach Empfänger ...");
    if (NetConnection* conn = connect_to_receiver(s)) {
      sent = send_and_report(s, conn, line);
    } else {
      console_print_line("Kann Empfaenger nicht finden (Ist er bereit?|Ist der Port frei?)");
      if (const char* reason = unreachable_reason(net_connect_failure())) console_print_line(reason);
      dialogue_pause();
    }
  }
  mem_free(s.work_buffer);
  runtime_exit(command_line_status(line, sent));
}
