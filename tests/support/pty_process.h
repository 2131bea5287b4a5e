// Runs a program on a pseudo-terminal of a given size, as a user at a terminal would:
// tests type into it, wait for texts on its screen and collect its exit status.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

#include "support/screen.h"

class PtyProcess {
 public:
  struct Options {
    int columns = 80;
    int rows = 24;
    std::vector<std::string> env;  // "NAME=value" added; "NAME=" with no value removes NAME
    std::string cwd;               // empty: the test's own directory
  };

  PtyProcess(const std::string& program, const Options& options);
  PtyProcess(const std::string& program) : PtyProcess(program, Options{}) {}
  ~PtyProcess();  // kills the program if it still runs
  PtyProcess(const PtyProcess&) = delete;
  PtyProcess& operator=(const PtyProcess&) = delete;

  // Types the text (use "\r" for Enter).
  void type(const std::string& text);
  // Waits until the screen's text or the bytes written contain the needle, up to
  // timeout_ms. Returns true when it appeared. Texts once shown count even when they were
  // later erased or cleared.
  bool wait_for(const std::string& needle, int timeout_ms = 10000);
  // Waits until the program ended; returns its exit code, 128+signal for a signal, or -1
  // on timeout.
  int wait_exit(int timeout_ms = 20000);
  void signal(int signo);

  pid_t pid() const { return pid_; }
  // Every byte the program wrote so far.
  const std::string& output() const { return output_; }
  // The lines now on the screen (since the last clear).
  std::vector<std::string> lines() const { return screen_.lines(); }
  std::string screen_text() const { return screen_.text(); }

 private:
  // Reads what is available, waiting up to timeout_ms for the first byte. Returns false at
  // the end of the output.
  bool pump(int timeout_ms);

  pid_t pid_ = -1;
  int master_ = -1;
  int status_ = -1;
  bool exited_ = false;
  std::string output_;
  std::string history_;  // every line ever shown, for wait_for
  Screen screen_;
};

// A port from 1 to 9999 that nothing listens on right now (the programs take no others).
int free_port();
