#include <string>

#include "app/command_line.h"
#include "app/port.h"
#include "dialogs/text_backend.h"
#include "net/allow.h"
#include "receiver/receiver.h"

namespace {
const CommandLineUsage kUsage = {
    "Kelvane", "[-p PORT] [DATEI]",
    "Empfaengt eine Datei ueber TCP (IPv4 und IPv6) und speichert sie unter DATEI.\n"
    "Was nicht angegeben ist, wird wie gewohnt gefragt.\n"
    "\n"
    "  -p, --port PORT  Port, auf dem gewartet wird (" PORT_RANGE_TEXT ")\n"
    "      --allow ADRESSE[/PRAEFIX]\n"
    "                   nur Sender von dieser Adresse (oder diesem Netz) annehmen,\n"
    "                   IPv4 und IPv6, mehrfach moeglich; andere werden sofort getrennt.\n"
    "                   Eine Adresse beweist nicht, wer sendet.\n"
    "      --no-announce  sich nicht im Netz bekannt machen (DNS-SD, _kelvane._tcp)\n"
    "  -h, --help       diese Hilfe zeigen\n"
    "      --version    Name und Version zeigen\n"
    "\n"
    "Mit DATEI wird genau eine Uebertragung empfangen, dann endet das Programm.\n"
    "Rueckgabewert, wenn Argumente angegeben sind: 0 Datei empfangen,\n"
    "1 Uebertragung fehlgeschlagen, 2 falscher Aufruf.\n"
    "\n"
    "Waehrend das Programm wartet, nennt die Statuszeile unter \"Erreichbar unter:\"\n"
    "die Adressen und Namen dieses Rechners; eine davon gibt man am anderen Rechner\n"
    "bei \"Bitte die IP eingeben\" ein (die erste ist meist die richtige). Dort\n"
    "werden Empfaenger im Netz auch gefunden: ihr Name oder ihre Nummer genuegt.\n",
    1, true};
}  // namespace

int main(int argc, char** argv) {
  CommandLine line;
  int32_t code = command_line_parse(argc, argv, kUsage, &line);
  if (code != COMMAND_LINE_RUN) return code;
  for (int32_t i = 0; i < line.allowed_count; ++i)
    if (!net_allow_add(line.allowed[i]))
      return command_line_wrong_usage(kUsage, (std::string("Keine gueltige Adresse fuer --allow: ") + line.allowed[i]).c_str());
  // A save path given here is checked as a typed one is, before any port is taken.
  if (line.answers[0]) {
    std::string why = text_save_path_refusal(line.answers[0]);
    if (!why.empty()) return command_line_wrong_usage(kUsage, why.c_str());
  }
  receiver_main(line);
}
