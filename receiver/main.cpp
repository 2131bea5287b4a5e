#include "app/command_line.h"
#include "app/port.h"
#include "dialogs/text_backend.h"
#include "receiver/receiver.h"

namespace {
const CommandLineUsage kUsage = {
    "Kelvane", "[-p PORT] [DATEI]",
    "Empfaengt eine Datei ueber TCP (IPv4 und IPv6) und speichert sie unter DATEI.\n"
    "Was nicht angegeben ist, wird wie gewohnt gefragt.\n"
    "\n"
    "  -p, --port PORT  Port, auf dem gewartet wird (" PORT_RANGE_TEXT ")\n"
    "  -h, --help       diese Hilfe zeigen\n"
    "      --version    Name und Version zeigen\n"
    "\n"
    "Mit DATEI wird genau eine Uebertragung empfangen, dann endet das Programm.\n"
    "Rueckgabewert, wenn Argumente angegeben sind: 0 Datei empfangen,\n"
    "1 Uebertragung fehlgeschlagen, 2 falscher Aufruf.\n",
    1};
}  // namespace

int main(int argc, char** argv) {
  CommandLine line;
  int32_t code = command_line_parse(argc, argv, kUsage, &line);
  if (code != COMMAND_LINE_RUN) return code;
  // A save path given here is checked as a typed one is, before any port is taken.
  if (line.answers[0]) {
    std::string why = text_save_path_refusal(line.answers[0]);
    if (!why.empty()) return command_line_wrong_usage(kUsage, why.c_str());
  }
  receiver_main(line);
}
