#include "receiver/receiver.h"

#include "console/console.h"
#include "app/dialogue.h"
#include "app/exit_status.h"
#include "app/transfer_status.h"
#include "console/status.h"
#include "core/heaps.h"
#include "app/lifecycle.h"
#include "core/timing.h"
#include "platform/clock.h"
#include "dialogs/file_dialog.h"
#include "dialogs/message_box.h"
#include "net/discovery.h"
#include "net/net.h"
#include "net/server.h"
#include "net/transfer.h"
#include "strings/area.h"
#include "strings/number.h"

#include <string>

namespace {

// How long the loop sleeps on the sockets when nothing is pending. The server answers as
// soon as a socket becomes ready; the timeout only bounds how late a close is noticed.
constexpr int32_t kIdleWaitMs = 100;
// How often the addresses shown while waiting are looked at again (a network that comes
// or goes, the multicast DNS name once that service answers).
constexpr uint32_t kAddressesMs = 2000;
// The longest a sender's name is looked up for.
constexpr int32_t kPeerNameMs = 1000;

// The receiver's state; runtime_start leaves the heaps empty, these start out cleared.
struct Receiver {
  StringVar save_path = nullptr;
  StringVar port_text = nullptr;
  int32_t port = 0;
  StringVar port_decimal = nullptr;  // the accepted port as decimal text, for the banners
  void* work_buffer = nullptr;
  int32_t quit = 0;
  bool single = false;    // save path given on the command line: one transfer, then the end
  bool received = false;  // the last transfer was stored whole
  const CommandLine* line = nullptr;
  std::string status;        // the status line shown; empty when none is
  uint32_t status_at = 0;    // when the addresses were last looked at
  bool sender_shown = false; // the status line names the connected sender
};

// While the receiver waits, the status line names where a sender can reach it.
void show_reachable(Receiver& r) {
  if (r.sender_shown || !console_status_possible()) return;
  uint32_t now = elapsed_ms();
  if (!r.status.empty() && now - r.status_at < kAddressesMs) return;
  r.status_at = now;
  std::string line = "Erreichbar unter:";
  for (const std::string& name : net_reachable_names()) line += " " + name;
  if (line == r.status) return;
  r.status = line;
  console_status_show(line.c_str());
}

// Every line printed erases the status line; it is drawn again when the receiver waits.
void status_gone(Receiver& r) {
  r.status.clear();
  r.sender_shown = false;
}

// The exit status the outcome so far gives, also to a close of the terminal from now on.
int32_t outcome_status(const Receiver& r) {
  return exit_status_note(*r.line, r.received);
}

// Gives the work buffer back the first time a give-back point is reached; later points
// find it null and return nothing.
void give_back(Receiver& r) {
  if (r.work_buffer) mem_free(r.work_buffer);
  r.work_buffer = nullptr;
}

void print_banner(const Receiver& r) {
  dialogue_print_banner_head("Empfaenger v2.0.0");
  dialogue_print_joined("Speicherort: ", r.save_path);
  dialogue_print_joined("Port:", r.port_decimal);
  dialogue_print_rule();
}

// Why a reception failed, in the user's words, where more can be said than that it did.
const char* failure_reason(int32_t failure) {
  switch (failure) {
    case NET_RECEIVE_BROKEN_OFF: return "Der Sender hat die Uebertragung abgebrochen!";
    case NET_RECEIVE_DISK_FULL: return "Kein Platz mehr auf dem Datentraeger!";
    case NET_RECEIVE_READ_ONLY: return "Der Datentraeger ist schreibgeschuetzt!";
    case NET_RECEIVE_FOREIGN: return "Die Datei gehoert einem anderen Benutzer (geteilter Ordner)!";
    case NET_RECEIVE_INCOMPLETE: return "Die Datei ist unvollstaendig!";
    case NET_RECEIVE_MOVED: return "Der Ordner wurde waehrend der Uebertragung verschoben!";
    case NET_RECEIVE_STALLED: return "Der Sender sendet seit 3 Sekunden nichts mehr!";
    case NET_RECEIVE_TEMP_FULL: return "Kein Platz mehr auf dem Datentraeger der Zwischendatei (TMPDIR)!";
    default: return nullptr;
  }
}

// Receives one transfer into the save path and reports it; the connection is closed
// either way, so no disconnect event follows for it. The close tells the sender the
// outcome: in order after a stored file, aborted otherwise. A receiver that takes one
// transfer stops taking senders as soon as it begins: those waiting are refused.
void handle_transfer(Receiver& r, NetConnection* conn) {
  if (r.single) net_server_stop_listening(0);
  console_print_line("Der Sender sendet nun die Datei ...");
  transfer_status_begin();
  int32_t ok = net_receive_file(conn, r.save_path);
  transfer_status_end();
  r.received = ok != 0;
  outcome_status(r);
  if (!ok) {
    console_print_line("Unbekannter Fehler!");
    if (const char* reason = failure_reason(net_receive_failure())) console_print_line(reason);
    net_connection_close(conn);
    dialogue_pause();
  } else {
    console_print_line("Datei wurde hier gespeichert:");
    console_print_line(r.save_path);
    console_print_line("Bitte Enter druecken ...");
    net_connection_close(conn);
    dialogue_wait_enter();
  }
  give_back(r);
  if (r.single) r.quit = 1;
}

void serve(Receiver& r) {
  while (r.quit != 1) {
    int32_t event = net_server_poll();
    if (event == NET_EVENT_NONE) {
      show_reachable(r);
      net_server_wait(kIdleWaitMs);
      continue;
    }
    NetConnection* conn = net_event_connection();
    status_gone(r);
    switch (event) {
      case NET_EVENT_CONNECT:
        console_print_line("Der Sender hat sich verbunden ...");
        if (!console_status_possible()) break;  // no look-up for a line nobody sees
        r.status = "Sender: " + net_connection_peer(conn, kPeerNameMs);
        r.sender_shown = true;
        console_status_show(r.status.c_str());
        break;
      case NET_EVENT_FILE:
      case NET_EVENT_DATA: handle_transfer(r, conn); break;
      case NET_EVENT_ABORTED:
        // A sender that failed before its first byte: a transfer that broke off.
        console_print_line("Unbekannter Fehler!");
        console_print_line(failure_reason(NET_RECEIVE_BROKEN_OFF));
        dialogue_pause();
        if (r.single) r.quit = 1;
        break;
      case NET_EVENT_DISCONNECT:
        console_print_line("Der Sender hat die Verbindung beendet ...");
        r.quit = 1;
        dialogue_pause();
        give_back(r);
        break;
      default: break;
    }
  }
}

}  // namespace

void receiver_main(const CommandLine& line) {
  runtime_start();
  Receiver r;
  r.line = &line;
  const int32_t failed = outcome_status(r);
  if (!net_init()) {
    message_box_ok("Error!", "Can't initialize the network !\nKann Netzwerk nicht initalisieren!");
    runtime_exit(failed);
  }
  console_open();
  console_title("Empfaenger v2.0.1");
  console_set_raw_mode(1);

  int32_t mark = str_area_top();
  r.single = line.answers[0] != nullptr;
  if (r.single) {
    str_assign(&r.save_path, line.answers[0]);
  } else {
    file_dialog_save("Bitte Ort zum speichern auswaehlen (Mit der Endung der zu sendenden Datei!!!)", "C:\\",
                     "Alle Dateien (*.*)|*.*", 0, mark);
    str_area_take(&r.save_path, mark);
  }

  if (line.port_text) {
    str_assign(&r.port_text, line.port_text);
    r.port = line.port;
  } else {
    r.port = dialogue_ask_port(&r.port_text);
    if (r.port == 0) runtime_exit(failed);  // input has ended: nobody is left to answer
  }
  // Input ended at the save path and the port was given: nothing could be stored, so it
  // ends as it does at the port question.
  if ((!r.save_path || !*r.save_path) && console_input_at_end()) runtime_exit(failed);
  // The screen is cleared of the questions; with every answer given nothing was asked.
  if (!r.single || !line.port_text) console_clear();
  mark = str_area_top();
  str_from_int64(r.port, mark);
  str_area_take(&r.port_decimal, mark);
  print_banner(r);

  r.work_buffer = mem_alloc(1000);
  if (!net_server_create_tcp(0, r.port)) {
    console_print_line("Server: Can't create the server (port in use ?).");
    clock_sleep_ms(3000);
    runtime_exit(failed);
  }
  dialogue_print_joined("Server: Server created (Port ", r.port_decimal,
                       net_server_ipv4_only(0) ? ", IPv4 only)." : ").");
  console_print_line("Server: Wait for Connection ...");
  net_set_progress(transfer_status_update, nullptr);
  if (!line.no_announce) net_announce(r.port);

  serve(r);

  // No sender is taken that would not be served: the port is closed before the wait.
  net_server_close(0);
  net_withdraw();
  console_print_line("Server: Wait for quit the server.");
  if (!r.single) clock_sleep_ms(10000);  // a script waits for nobody
  runtime_exit(outcome_status(r));
}
