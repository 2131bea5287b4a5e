#include "app/command_line.h"
#include "app/port.h"
#include "sender/sender.h"

namespace {
const CommandLineUsage kUsage = {"Dorvish", "[-p PORT] [DATEI [ADRESSE]]",
                                 "Sendet DATEI ueber TCP an den Empfaenger unter ADRESSE\n"
                                 "(IPv4-Adresse, IPv6-Adresse mit oder ohne [ ] oder Rechnername).\n"
                                 "Was nicht angegeben ist, wird wie gewohnt gefragt.\n"
                                 "Sind DATEI, ADRESSE und PORT angegeben, gibt der Sender auf, wenn der\n"
                                 "Empfaenger eine Minute lang kein Byte nimmt und nicht antwortet;\n"
                                 "sonst wartet er, bis Strg+C gedrueckt wird. Namensaufloesung und\n"
                                 "Verbindungsaufbau geben nach 20 Sekunden auf.\n"
                                 "\n"
                                 "  -p, --port PORT  Port des Empfaengers (" PORT_RANGE_TEXT ")\n"
                                 "  -h, --help       diese Hilfe zeigen\n"
                                 "      --version    Name und Version zeigen\n"
                                 "      --send-to DATEI...  DATEI senden, wie aus \"Senden an\";\n"
                                 "                   mehrere Dateien werden abgelehnt\n"
                                 "\n"
                                 "Rueckgabewert, wenn Argumente angegeben sind: 0 Datei gesendet,\n"
                                 "1 Datei nicht gesendet, 2 falscher Aufruf.\n"
                                 "\n"
                                 "Die Adresse zeigt der Empfaenger, waehrend er wartet, unter\n"
                                 "\"Erreichbar unter:\". Empfaenger, die sich im Netz bekannt machen,\n"
                                 "stehen unter der Frage nach der IP; dort genuegt ihr Name, sein\n"
                                 "eindeutiger Anfang oder ihre Nummer (Adresse und Port von dort).\n"
                                 "Ohne Erfolg sagt die Zeile danach, woran es liegt, wo das erkennbar ist.\n",
                                 2, false, true};
}  // namespace

int main(int argc, char** argv) {
  CommandLine line;
  int32_t code = command_line_parse(argc, argv, kUsage, &line);
  if (code != COMMAND_LINE_RUN) return code;
  sender_main(line);
}
