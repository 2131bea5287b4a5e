#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "console/child_process.h"

namespace {
const std::string kWrapOff = "\x1b[?7l";
const std::string kWrapOn = "\x1b[?7h";

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The modes the raw mode changes, as the child found them.
void expect_cooked(const termios& t) {
  termios found = cooked_termios();
  EXPECT_EQ(t.c_lflag, found.c_lflag);
  EXPECT_EQ(t.c_iflag, found.c_iflag);
  EXPECT_EQ(t.c_oflag, found.c_oflag);
  EXPECT_EQ(t.c_cc[VMIN], found.c_cc[VMIN]);
}

bool port_free(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

// Starts a child in raw mode waiting for a line and returns once it waits.
void start_waiting(ChildProcess& child, std::vector<std::string> steps = {}) {
  steps.insert(steps.begin(), "raw");
  steps.push_back("p:waiting");
  steps.push_back("in");
  start_on_pty(child, steps);
  ASSERT_TRUE(child.read_until("waiting"));
  termios t = pty_modes(child);
  ASSERT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
  ASSERT_EQ(t.c_oflag & OPOST, 0u);
}
}  // namespace

TEST(ConsoleSignals, HangUpShutsDownOnceAndEndsTheProcess) {
  ChildProcess child;
  start_waiting(child, {"listen"});
  std::vector<std::string> report = child.report();
  ASSERT_EQ(report.size(), 1u);
  int port = std::atoi(report[0].c_str() + 5);
  ASSERT_FALSE(port_free(port));
  kill(child.pid, SIGHUP);
  int status = child.wait_exit();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(child.report(), (std::vector<std::string>{report[0], "closed"}));
  EXPECT_TRUE(port_free(port));
  expect_cooked(pty_modes(child));
  EXPECT_TRUE(ends_with(child.output, kWrapOn));
}

TEST(ConsoleSignals, ATerminalThatGoesAwayIsTheCloseEvent) {
  ChildProcess child;
  start_waiting(child, {"listen"});
  int port = std::atoi(child.report().at(0).c_str() + 5);
  close(child.master);  // the kernel hangs the session up
  child.master = -1;
  int status = 0;
  for (int i = 0; i < 500 && waitpid(child.pid, &status, WNOHANG) == 0; ++i) usleep(10000);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  child.pid = -1;
  // The main flow's read meets the end as well and may reach its own exit first; either
  // way the process ends with code 0 and the port is free.
  EXPECT_TRUE(port_free(port));
}

TEST(ConsoleSignals, CtrlCAndTermEndTheProcessWithTheTerminalAsFound) {
  for (int sig : {SIGINT, SIGTERM, SIGQUIT}) {
    SCOPED_TRACE(sig);
    ChildProcess child;
    start_waiting(child, {"listen"});
    if (sig == SIGINT)
      child.send("\x03");
    else if (sig == SIGQUIT)
      child.send("\x1c");
    else
      kill(child.pid, sig);
    int status = child.wait_exit();
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), sig);
    expect_cooked(pty_modes(child));
    EXPECT_TRUE(ends_with(child.output, kWrapOn));
    EXPECT_EQ(child.report().size(), 1u) << "no shutdown on this way out";
  }
}

TEST(ConsoleSignals, NormalExitAndFatalErrorRestoreTheTerminal) {
  ChildProcess child;
  start_on_pty(child, {"raw", "p:x"});
  ASSERT_EQ(child.wait_exit(), 0);
  expect_cooked(pty_modes(child));
  EXPECT_TRUE(ends_with(child.output, kWrapOn));

  ChildProcess failing;
  start_on_pty(failing, {"raw", "no-such-step"});
  int status = failing.wait_exit();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  expect_cooked(pty_modes(failing));
  EXPECT_NE(failing.output.find(kWrapOn), std::string::npos);
}

TEST(ConsoleSignals, SuspendRestoresTheTerminalAndResumeReturnsToRaw) {
  ChildProcess child;
  start_waiting(child);
  child.output.clear();
  // The child leads its own session, so the terminal's stop is not carried out (an
  // orphaned process group does not stop); the restore before it and the return to raw
  // mode after it are what is seen.
  child.send("\x1a");
  ASSERT_TRUE(child.read_until(kWrapOff));
  EXPECT_EQ(child.output.find("\x1b[?25h" + kWrapOn), 0u) << "restored before the stop";
  termios t = pty_modes(child);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
  kill(child.pid, SIGCONT);
  child.send("ok\r");
  ASSERT_EQ(child.wait_exit(), 0);
  EXPECT_EQ(child.report(), (std::vector<std::string>{"ok"}));
  expect_cooked(pty_modes(child));
}
