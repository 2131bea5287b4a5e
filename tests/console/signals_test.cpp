#include <sys/wait.h>

#include "support/loopback.h"
#include "tests/console/console_run.h"

namespace {
const std::string kWrapOff = "\x1b[?7l", kWrapOn = "\x1b[?7h";

// Whether the terminal has the modes of want in every flag and in its reading counts.
::testing::AssertionResult same_modes(const termios& t, const termios& want) {
  if (t.c_lflag == want.c_lflag && t.c_iflag == want.c_iflag && t.c_oflag == want.c_oflag &&
      t.c_cflag == want.c_cflag && t.c_cc[VMIN] == want.c_cc[VMIN] && t.c_cc[VTIME] == want.c_cc[VTIME])
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << std::hex << "local, input, output flags " << t.c_lflag << " "
                                       << t.c_iflag << " " << t.c_oflag << ", wanted " << want.c_lflag;
}
// The modes the raw mode changes, as the child found them.
void expect_cooked(const termios& t) { EXPECT_TRUE(same_modes(t, ConsoleChild::cooked_termios())); }

// Starts a child in raw mode waiting for a line and returns once it waits.
void start_waiting(ConsoleChild& child, std::vector<std::string> steps = {}) {
  steps.insert(steps.begin(), "raw");
  steps.insert(steps.end(), {"p:waiting", "in"});
  child.start_on_pty(steps);
  ASSERT_TRUE(child.wait_for("waiting"));
  // Keys come one at a time, unechoed and untranslated, Ctrl+C and the others still as
  // signals; output goes out as written. Nothing else changes.
  termios raw = ConsoleChild::cooked_termios();
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN);
  raw.c_iflag &= ~static_cast<tcflag_t>(ICRNL | IXON);
  raw.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  ASSERT_TRUE(same_modes(child.modes(), raw));
}
}  // namespace

// A hang-up, and a terminal going away (the kernel hangs the session up), shut down once
// and end with 0, the port free; after the close the main flow may reach its exit first.
TEST(ConsoleSignals, HangUpOrATerminalGoingAwayShutsDownOnceAndEndsTheProcess) {
  for (bool hang_up : {true, false}) {
    SCOPED_TRACE(hang_up ? "hang-up" : "terminal gone");
    ConsoleChild child;
    start_waiting(child, {"listen"});
    std::vector<std::string> report = child.report();
    ASSERT_EQ(report.size(), 1u);
    int port = std::atoi(report[0].c_str() + 5);
    ASSERT_FALSE(port_free(port));
    hang_up ? child.signal(SIGHUP) : child.close_input();
    EXPECT_EQ(child.wait_exit(), 0);
    EXPECT_TRUE(port_free(port));
    if (!hang_up) continue;  // no terminal left to look at
    EXPECT_EQ(child.report(), (std::vector<std::string>{report[0], "closed"}));
    expect_cooked(child.modes());
    EXPECT_TRUE(child.output().ends_with(kWrapOn));
  }
}

TEST(ConsoleSignals, CtrlCAndTermEndTheProcessWithTheTerminalAsFound) {
  for (int sig : {SIGINT, SIGTERM, SIGQUIT}) {
    SCOPED_TRACE(sig);
    ConsoleChild child;
    start_waiting(child, {"listen"});
    sig == SIGTERM ? child.signal(sig) : child.type(sig == SIGINT ? "\x03" : "\x1c");
    int status = child.wait_status();
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), sig);
    expect_cooked(child.modes());
    EXPECT_TRUE(child.output().ends_with("waiting\r\n\x1b[?25h" + kWrapOn))
        << "the shell's prompt on a fresh line";
    EXPECT_EQ(child.report().size(), 1u) << "no shutdown on this way out";
  }
}

TEST(ConsoleSignals, NormalExitAndFatalErrorRestoreTheTerminal) {
  ConsoleChild child;
  child.start_on_pty({"raw", "p:x"});
  ASSERT_EQ(child.wait_exit(), 0);
  expect_cooked(child.modes());
  EXPECT_TRUE(child.output().ends_with(kWrapOn));

  // A status line is not left standing where the shell's prompt comes.
  ConsoleChild shown;
  shown.start_on_pty({"raw", "l:a", "status:50%"});
  ASSERT_EQ(shown.wait_exit(), 0);
  EXPECT_TRUE(shown.output().ends_with("a\r\n\r50%\x1b[K\r\x1b[K\x1b[?25h" + kWrapOn)) << shown.output();

  ConsoleChild failing;
  failing.start_on_pty({"raw", "no-such-step"});
  EXPECT_EQ(failing.wait_exit(), 1);
  expect_cooked(failing.modes());
  EXPECT_NE(failing.output().find(kWrapOn), std::string::npos);
}

TEST(ConsoleSignals, SuspendRestoresTheTerminalAndResumeReturnsToRaw) {
  ConsoleChild child;
  start_waiting(child);
  child.clear_output();
  // The child leads its own session, so the stop is not carried out (an orphaned process
  // group does not stop); the restore before it and the return to raw mode after: seen.
  child.type("o");
  ASSERT_TRUE(child.wait_for("o"));
  child.clear_output();
  child.type("\x1a");
  ASSERT_TRUE(child.wait_for(kWrapOff));
  EXPECT_EQ(child.output().find("\r\n\x1b[?25h" + kWrapOn), 0u)
      << "restored before the stop, the shell's message on a fresh line";
  termios t = child.modes();
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
  // Back again, the prompt and what was typed are shown anew.
  ASSERT_TRUE(child.wait_for("\rwaitingo\x1b[K")) << child.output();
  child.clear_output();
  child.signal(SIGCONT);
  ASSERT_TRUE(child.wait_for("\rwaitingo\x1b[K")) << child.output();
  child.type("k\r");
  ASSERT_EQ(child.wait_exit(), 0);
  EXPECT_EQ(child.report(), (std::vector<std::string>{"ok"}));
  expect_cooked(child.modes());
}
