// The command line both programs take: help, version and port options, then the answers
// to their questions in the order they are asked. Each answer given there skips its
// question; what is not given is asked as before.
#pragma once
#include <cstdint>

// A program's side of the command line: its name, its usage line after the name, the help
// text's lines below the usage line, and how many answers it takes (file, address).
struct CommandLineUsage {
  const char* name;
  const char* synopsis;
  const char* help;
  int32_t max_answers;
  bool serves = false;  // takes the server's options: --allow ADDRESS[/PREFIX], --no-announce
  bool sends = false;   // takes --send-to FILE...: the files a file manager hands on
};

constexpr int32_t COMMAND_LINE_MAX_ANSWERS = 2;
constexpr int32_t COMMAND_LINE_MAX_ALLOWED = 32;

// What the command line gave. Texts point into argv; null where nothing was given.
struct CommandLine {
  bool given = false;               // any argument at all: the exit status then tells the outcome
  const char* port_text = nullptr;  // as typed after -p or --port
  int32_t port = 0;                 // its value (app/port.h), when port_text is set
  const char* answers[COMMAND_LINE_MAX_ANSWERS] = {};
  const char* allowed[COMMAND_LINE_MAX_ALLOWED] = {};  // the texts after --allow, unchecked
  int32_t allowed_count = 0;
  bool no_announce = false;  // --no-announce
  int32_t files_given = 0;   // how many files followed --send-to; the first is answers[0]
};

// Exit statuses a script sees when arguments were given.
constexpr int32_t COMMAND_LINE_DONE = 0;         // the file was sent or received
constexpr int32_t COMMAND_LINE_FAILED = 1;       // it was not
constexpr int32_t COMMAND_LINE_WRONG_USAGE = 2;  // an unknown option, a bad port, too many answers

// Returned by command_line_parse when the program is to run.
constexpr int32_t COMMAND_LINE_RUN = -1;

// Reads the arguments after argv[0]: -h/--help prints the usage and help on standard output
// and returns 0; --version prints the name and version and returns 0; -p PORT, -pPORT,
// --port PORT or --port=PORT sets the port (port_read, PORT_COMMAND_LINE); "--" ends
// the options; a program that serves also takes --allow TEXT (or --allow=TEXT, up to
// COMMAND_LINE_MAX_ALLOWED times; the program checks the text) and --no-announce; a
// program that sends takes --send-to, after which every argument is a file (a file
// manager's "send to" menu hands on all the files chosen, however many); any
// other argument starting with '-' (but "-" alone) is an unknown option.
// Wrong usage prints one German error line and the usage hint on standard error and
// returns COMMAND_LINE_WRONG_USAGE. Otherwise fills *line and returns COMMAND_LINE_RUN.
int32_t command_line_parse(int argc, char** argv, const CommandLineUsage& usage, CommandLine* line);

// Says on standard error that the call was wrong: one German line (error) and the usage
// hint. Returns COMMAND_LINE_WRONG_USAGE.
int32_t command_line_wrong_usage(const CommandLineUsage& usage, const char* error);

// The exit status of a run that did (succeeded) or did not do its job: the outcome when
// arguments were given, otherwise 0 on every path as without a command line.
int32_t command_line_status(const CommandLine& line, bool succeeded);
