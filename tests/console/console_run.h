// Runs console_child with a list of steps on a pseudo-terminal or on pipes. The child
// writes the input results it got, one per line, into a report file.
#pragma once
#include <gmock/gmock.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

class ConsoleChild : public ChildProcess {
 public:
  // Starts the child on a new pseudo-terminal of the given width in the usual cooked modes.
  void start_on_pty(const std::vector<std::string>& steps, int columns = 20) {
    ChildOptions options = with_steps(steps);
    options.terminal = true;
    options.columns = columns;
    options.modes = cooked_termios();
    start(options);
  }
  // Starts the child with pipes as standard input and output (standard error stays ours).
  void start_on_pipes(const std::vector<std::string>& steps) {
    ChildOptions options = with_steps(steps);
    options.merge_stderr = false;
    start(options);
  }
  // The input results the child reported, one per line.
  std::vector<std::string> report() const {
    std::ifstream in(dir_ / "report");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  // The terminal a child finds: the usual cooked modes.
  static termios cooked_termios() {
    termios t{};
    t.c_iflag = ICRNL | IXON | IUTF8;
    t.c_oflag = OPOST | ONLCR;
    t.c_cflag = CS8 | CREAD | B38400;
    t.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN | ECHOCTL | ECHOKE;
    const cc_t cc[] = {3, 28, 127, 21, 4, 0, 1, 0, 17, 19, 26, 0, 18, 15, 23, 22};
    for (size_t i = 0; i < sizeof cc && i < NCCS; ++i) t.c_cc[i] = cc[i];
    cfsetspeed(&t, B38400);
    return t;
  }

 private:
  ChildOptions with_steps(const std::vector<std::string>& steps) const {
    ChildOptions options;
    options.args = {child_program("console_child"), dir_ / "report"};
    options.args.insert(options.args.end(), steps.begin(), steps.end());
    return options;
  }
  TempDir dir_;
};
