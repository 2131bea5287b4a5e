// Starting console_child on a pseudo-terminal or on pipes, feeding it and reading what it
// writes, every wait bounded.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

struct ChildProcess {
  pid_t pid = -1;
  int master = -1;    // pseudo-terminal: input and output
  int to_child = -1;  // pipes
  int from_child = -1;
  std::string output;
  std::string report_path;

  ~ChildProcess() {
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    for (int fd : {master, to_child, from_child})
      if (fd >= 0) close(fd);
    if (!report_path.empty()) unlink(report_path.c_str());
  }

  int out_fd() const { return master >= 0 ? master : from_child; }
  int in_fd() const { return master >= 0 ? master : to_child; }

  void send(const std::string& bytes) const {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = write(in_fd(), bytes.data() + done, bytes.size() - done);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }

  void close_input() {
    if (to_child >= 0) close(to_child);
    to_child = -1;
  }

  // Reads what the child writes until the output holds needle (true) or the time is up.
  bool read_until(const std::string& needle, int ms = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (output.find(needle) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !read_some(static_cast<int>(left.count()))) return false;
    }
    return true;
  }

  // Waits for the child to end, reading its output meanwhile. Returns its wait status, or
  // -1 when it did not end in time (it is then killed).
  int wait_exit(int ms = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        while (read_some(50)) {
        }
        pid = -1;
        return status;
      }
      if (std::chrono::steady_clock::now() > end) return -1;
      read_some(20);
    }
  }

  // The input results the child reported, one per line.
  std::vector<std::string> report() const {
    std::ifstream in(report_path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  bool read_some(int ms) {
    pollfd pfd{out_fd(), POLLIN, 0};
    if (poll(&pfd, 1, ms) <= 0) return false;
    char buffer[4096];
    ssize_t n = read(out_fd(), buffer, sizeof buffer);
    if (n <= 0) return false;
    output.append(buffer, static_cast<size_t>(n));
    return true;
  }
};

inline std::vector<std::string> child_argv(ChildProcess& child, const std::vector<std::string>& steps) {
  char path[] = "/tmp/console_report_XXXXXX";
  int fd = mkstemp(path);
  if (fd >= 0) close(fd);
  child.report_path = path;
  std::vector<std::string> args{KV_BUILD_DIR "/tests/console_child", child.report_path};
  args.insert(args.end(), steps.begin(), steps.end());
  return args;
}

[[noreturn]] inline void exec_child(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

// The terminal a child finds: the usual cooked modes.
inline termios cooked_termios() {
  termios t{};
  t.c_iflag = ICRNL | IXON | IUTF8;
  t.c_oflag = OPOST | ONLCR;
  t.c_cflag = CS8 | CREAD | B38400;
  t.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN | ECHOCTL | ECHOKE;
  const cc_t cc[] = {3, 28, 127, 21, 4, 0, 1, 0, 17, 19, 26, 0, 18, 15, 23, 22};
  for (size_t i = 0; i < sizeof cc && i < NCCS; ++i) t.c_cc[i] = cc[i];
  cfsetispeed(&t, B38400);
  cfsetospeed(&t, B38400);
  return t;
}

// Starts the child on a new pseudo-terminal of the given width.
inline void start_on_pty(ChildProcess& child, const std::vector<std::string>& steps, int columns = 20) {
  auto args = child_argv(child, steps);
  termios t = cooked_termios();
  winsize ws{};
  ws.ws_row = 24;
  ws.ws_col = static_cast<unsigned short>(columns);
  child.pid = forkpty(&child.master, nullptr, &t, &ws);
  if (child.pid == 0) exec_child(args);
  fcntl(child.master, F_SETFD, FD_CLOEXEC);
}

// Starts the child with pipes as standard input and output (standard error stays ours).
inline void start_on_pipes(ChildProcess& child, const std::vector<std::string>& steps) {
  auto args = child_argv(child, steps);
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
  child.pid = fork();
  if (child.pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    exec_child(args);
  }
  close(in[0]);
  close(out[1]);
  child.to_child = in[1];
  child.from_child = out[0];
}

inline termios pty_modes(const ChildProcess& child) {
  termios t{};
  tcgetattr(child.master, &t);
  return t;
}
