// Starts a program on a pseudo-terminal or on pipes, with its own environment and working
// folder, types into it and collects what it writes. Every wait has a deadline; a program
// still running at the end is killed.
#pragma once
#include <sys/types.h>
#include <termios.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/screen.h"
#include "support/temp_dir.h"

struct ChildOptions {
  std::vector<std::string> args;                          // args[0]: the program
  std::map<std::string, std::optional<std::string>> env;  // set, or unset with nullopt
  std::string cwd;                                        // empty: the test's own
  bool terminal = false;  // standard input, output and error on a pseudo-terminal
  int columns = 80, rows = 24;
  std::optional<termios> modes;  // the terminal's first modes; the system's if none
  bool merge_stderr = true;      // on pipes: standard error joins the output
  std::optional<uid_t> user;     // run as this user id (group alike, no others); needs root;
                                 // the program is run from a copy that user may reach
};

class ChildProcess {
 public:
  ChildProcess() = default;
  explicit ChildProcess(const ChildOptions& options) { start(options); }
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts the program in its own session. Returns false when it could not be started.
  bool start(const ChildOptions& options);
  // Writes the text as input ("\r" is Enter on a terminal), reading output meanwhile.
  void type(const std::string& text);
  // Ends the input: a pipe is closed, a terminal hangs up.
  void close_input();
  // Waits until the bytes written, or on a terminal the screen, hold the needle, up to
  // timeout_ms. Texts once shown count even when they were later erased or cleared.
  bool wait_for(const std::string& needle, int timeout_ms = 10000);
  // Waits until done() holds, taking the output meanwhile, up to timeout_ms. Returns its
  // last answer.
  bool wait_until(const std::function<bool()>& done, int timeout_ms = 10000);
  // Waits for the end; returns the wait status, or -1 when it did not end in time.
  int wait_status(int timeout_ms = 20000);
  // Waits for the end; returns the exit code, 128+signal, or -1 on timeout.
  int wait_exit(int timeout_ms = 20000);
  // Sends the signal while the program runs (not after it was waited for).
  void signal(int signo) const;
  // Gives the pseudo-terminal a new size; the program is sent SIGWINCH.
  void resize(int columns, int rows = 24) const;
  termios modes() const;

  pid_t pid() const { return pid_; }
  // Every byte written since the start or the last clear_output.
  const std::string& output() const { return output_; }
  // Forgets what was written so far: later waits look at new output only.
  void clear_output();
  // The output without carriage returns (a terminal adds its own before each line feed).
  std::string plain_output() const;
  // The lines now on the screen (since the last clear), and all of them joined by '\n'.
  std::vector<std::string> lines() const { return screen_.lines(); }
  std::string screen_text() const { return screen_.text(); }
  // The window title the program last set on its terminal.
  std::string title() const { return screen_.title(); }

 private:
  // Reads what is there, waiting up to wait_ms for a first byte; the count (0: ended).
  size_t read_some(int wait_ms);

  pid_t pid_ = -1;
  int input_ = -1, output_fd_ = -1, status_ = -1;
  bool terminal_ = false;
  std::string output_;
  std::string history_;  // every screen ever shown, for wait_for
  Screen screen_;
  std::unique_ptr<TempDir> program_copy_;  // removed once the program is gone
};

// The path of a helper program built with the tests.
inline std::string child_program(const char* name) { return std::string(KV_BUILD_DIR) + "/tests/" + name; }
// The full path of a program found on PATH, or empty.
std::string find_program(const std::string& name);
