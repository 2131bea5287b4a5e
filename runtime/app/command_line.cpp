#include "app/command_line.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "app/port.h"
#include "platform/process.h"

#ifndef KV_VERSION
#define KV_VERSION "0"
#endif

namespace {

int32_t wrong_usage(const CommandLineUsage& usage, const std::string& error) {
  return command_line_wrong_usage(usage, error.c_str());
}

bool take_port(const char* text, CommandLine* line) {
  int32_t port = port_read(text, PORT_COMMAND_LINE);
  if (port == 0) return false;
  line->port_text = text;
  line->port = port;
  return true;
}

}  // namespace

int32_t command_line_parse(int argc, char** argv, const CommandLineUsage& usage, CommandLine* line) {
  *line = CommandLine{};
  argv = process_arguments(&argc, argv);
  line->given = argc > 1;
  int32_t answers = 0;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (options && arg[0] == '-' && arg[1] != 0) {
      if (std::strcmp(arg, "--") == 0) {
        options = false;
        continue;
      }
      if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
        std::printf("Aufruf: %s %s\n%s", usage.name, usage.synopsis, usage.help);
        std::fflush(stdout);
        return 0;
      }
      if (std::strcmp(arg, "--version") == 0) {
        std::printf("%s %s\n", usage.name, KV_VERSION);
        std::fflush(stdout);
        return 0;
      }
      if (usage.sends && std::strcmp(arg, "--send-to") == 0) {
        if (i + 1 >= argc) return wrong_usage(usage, "Option --send-to braucht eine Datei");
        if (answers > 0) return wrong_usage(usage, std::string("Zu viele Argumente: ") + arg);
        line->answers[answers++] = argv[i + 1];
        line->files_given = argc - i - 1;
        break;
      }
      if (usage.serves && std::strcmp(arg, "--no-announce") == 0) {
        line->no_announce = true;
        continue;
      }
      if (usage.serves && (std::strcmp(arg, "--allow") == 0 || std::strncmp(arg, "--allow=", 8) == 0)) {
        const char* rule = arg[7] == '=' ? arg + 8 : nullptr;
        if (!rule && i + 1 >= argc) return wrong_usage(usage, "Option --allow braucht eine Adresse");
        if (!rule) rule = argv[++i];
        if (line->allowed_count >= COMMAND_LINE_MAX_ALLOWED)
          return wrong_usage(usage, "Zu viele Optionen --allow");
        line->allowed[line->allowed_count++] = rule;
        continue;
      }
      const char* port = nullptr;
      if (std::strcmp(arg, "-p") == 0 || std::strcmp(arg, "--port") == 0) {
        if (i + 1 >= argc) return wrong_usage(usage, std::string("Option ") + arg + " braucht einen Port");
        port = argv[++i];
      } else if (std::strncmp(arg, "--port=", 7) == 0) {
        port = arg + 7;
      } else if (arg[1] == 'p') {
        port = arg + 2;
      } else {
        return wrong_usage(usage, std::string("Unbekannte Option: ") + arg);
      }
      if (!take_port(port, line))
        return wrong_usage(usage, std::string("Kein gueltiger Port (" PORT_RANGE_TEXT "): ") + port);
      continue;
    }
    if (answers >= usage.max_answers || answers >= COMMAND_LINE_MAX_ANSWERS)
      return wrong_usage(usage, std::string("Zu viele Argumente: ") + arg);
    line->answers[answers++] = arg;
  }
  return COMMAND_LINE_RUN;
}

int32_t command_line_wrong_usage(const CommandLineUsage& usage, const char* error) {
  std::fprintf(stderr, "%s: %s\nAufruf: %s %s (mehr mit: %s --help)\n", usage.name, error, usage.name,
               usage.synopsis, usage.name);
  std::fflush(stderr);
  return COMMAND_LINE_WRONG_USAGE;
}

int32_t command_line_status(const CommandLine& line, bool succeeded) {
  if (!line.given) return 0;
  return succeeded ? COMMAND_LINE_DONE : COMMAND_LINE_FAILED;
}
