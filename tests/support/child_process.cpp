#include "support/child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <sstream>

extern char** environ;

namespace {

void make_nonblocking(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  fcntl(fd, F_SETFD, FD_CLOEXEC);
}

winsize window_size(int columns, int rows) {
  return {static_cast<unsigned short>(rows), static_cast<unsigned short>(columns), 0, 0};
}

[[noreturn]] void exec_child(const std::string& cwd, const std::optional<uid_t>& user, char** argv,
                             char** envp) {
  if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
  if (user && (setgroups(0, nullptr) != 0 || setgid(*user) != 0 || setuid(*user) != 0)) _exit(125);
  execve(argv[0], argv, envp);
  _exit(127);
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && status_ == -1) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (input_ >= 0) close(input_);
  if (output_fd_ >= 0 && output_fd_ != input_) close(output_fd_);
}

bool ChildProcess::start(const ChildOptions& options) {
  std::vector<std::string> env_strings;
  for (char** e = environ; *e; ++e)
    if (!options.env.count(std::string(*e, std::strcspn(*e, "=")))) env_strings.push_back(*e);
  for (const auto& [name, value] : options.env)
    if (value) env_strings.push_back(name + "=" + *value);
  // Another user may not reach the program where it was built (a checkout in a folder only
  // its owner may enter): that user runs a copy in a folder anyone may enter.
  std::vector<std::string> args = options.args;
  // A copy still open for writing when another thread forks stays open in that child, and
  // then cannot be run ("text file busy"): copying and forking take turns.
  static std::mutex forking;
  std::lock_guard<std::mutex> turn(forking);
  if (options.user && !args.empty()) {
    program_copy_ = std::make_unique<TempDir>();
    std::string copy = *program_copy_ / std::filesystem::path(args[0]).filename().string();
    std::error_code failed;
    std::filesystem::copy_file(args[0], copy, failed);
    if (failed || chmod(program_copy_->path().c_str(), 0755) != 0) return false;
    args[0] = copy;
  }
  std::vector<char*> argv, envp;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const auto& e : env_strings) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  terminal_ = options.terminal;
  if (terminal_) {
    winsize size = window_size(options.columns, options.rows);
    termios modes = options.modes.value_or(termios{});
    int master = -1;
    pid_ = forkpty(&master, nullptr, options.modes ? &modes : nullptr, &size);
    if (pid_ == 0) exec_child(options.cwd, options.user, argv.data(), envp.data());
    if (pid_ < 0) return false;
    make_nonblocking(master);
    input_ = output_fd_ = master;
    return true;
  }
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return false;
  pid_ = fork();
  if (pid_ == 0) {
    setsid();  // no controlling terminal
    dup2(in[0], 0);
    dup2(out[1], 1);
    if (options.merge_stderr) dup2(out[1], 2);
    exec_child(options.cwd, options.user, argv.data(), envp.data());
  }
  for (int fd : {in[0], out[1]}) close(fd);
  input_ = in[1];
  output_fd_ = out[0];
  for (int fd : {input_, output_fd_}) make_nonblocking(fd);
  return pid_ > 0;
}

void ChildProcess::type(const std::string& text) {
  size_t sent = 0;
  int64_t deadline = now_ms() + 5000;
  while (sent < text.size() && input_ >= 0) {
    ssize_t n = write(input_, text.data() + sent, text.size() - sent);
    if (n > 0)
      sent += static_cast<size_t>(n);
    else if (n == 0 || (errno != EINTR && (errno != EAGAIN || now_ms() >= deadline)))
      break;
    else if (errno == EAGAIN && read_some(10) == 0 && output_fd_ < 0)  // not read yet: take the output meanwhile
      usleep(10000);
  }
}

void ChildProcess::close_input() {
  if (input_ < 0) return;
  close(input_);
  if (output_fd_ == input_) output_fd_ = -1;
  input_ = -1;
}

size_t ChildProcess::read_some(int wait_ms) {
  if (output_fd_ < 0) return 0;
  pollfd p{output_fd_, POLLIN, 0};
  if (poll(&p, 1, wait_ms) <= 0) return 0;
  char buffer[65536];
  size_t got = 0;
  for (;;) {
    ssize_t n = read(output_fd_, buffer, sizeof buffer);
    if (n > 0) {
      output_.append(buffer, static_cast<size_t>(n));
      screen_.feed(std::string(buffer, static_cast<size_t>(n)));
      got += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    // The end, or EIO: each side of the program's terminal is closed (kept for modes()).
    if (output_fd_ != input_) close(output_fd_);
    output_fd_ = -1;
    break;
  }
  // Keep every screen ever shown so that a text counts after a clear or an erase.
  std::string now = screen_.text();
  if (history_.size() < 8 * 1024 * 1024 && history_.find(now) == std::string::npos) history_ += now;
  return got;
}

bool ChildProcess::wait_for(const std::string& needle, int timeout_ms) {
  auto shown = [&] {
    return output_.find(needle) != std::string::npos || history_.find(needle) != std::string::npos ||
           screen_.text().find(needle) != std::string::npos;
  };
  return wait_until([&] { return shown() || output_fd_ < 0; }, timeout_ms) && shown();  // or the output ended
}

bool ChildProcess::wait_until(const std::function<bool()>& done, int timeout_ms) {
  for (int64_t deadline = now_ms() + timeout_ms;;) {
    if (done()) return true;
    int64_t left = deadline - now_ms();
    if (left <= 0) return false;
    if (output_fd_ < 0 || read_some(static_cast<int>(std::min<int64_t>(left, 20))) == 0) usleep(1000);
  }
}

int ChildProcess::wait_status(int timeout_ms) {
  int64_t deadline = now_ms() + timeout_ms;
  // The process's own descriptor turns readable as it ends: its end is seen at once,
  // output taken meanwhile.
  int ended = status_ == -1 && pid_ > 0 ? static_cast<int>(syscall(SYS_pidfd_open, pid_, 0)) : -1;
  while (status_ == -1 && pid_ > 0) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = status;
      break;
    }
    int64_t left = deadline - now_ms();
    if (left <= 0) break;
    // The poll passes over a descriptor that is not there; without the process's own it
    // looks again soon.
    pollfd p[2] = {{ended, POLLIN, 0}, {output_fd_, POLLIN, 0}};
    if (poll(p, 2, static_cast<int>(std::min<int64_t>(left, ended < 0 ? 20 : 1000))) > 0 && p[1].revents)
      read_some(0);
  }
  if (ended >= 0) close(ended);
  if (status_ == -1) return -1;
  while (read_some(50) > 0) continue;
  return status_;
}

int ChildProcess::wait_exit(int timeout_ms) {
  int status = wait_status(timeout_ms);
  return status == -1 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void ChildProcess::signal(int signo) const {
  if (pid_ > 0 && status_ == -1) kill(pid_, signo);
}

void ChildProcess::resize(int columns, int rows) const {
  if (!terminal_ || input_ < 0) return;
  winsize size = window_size(columns, rows);
  ioctl(input_, TIOCSWINSZ, &size);
}

termios ChildProcess::modes() const {
  termios t{};
  if (terminal_ && input_ >= 0) tcgetattr(input_, &t);
  return t;
}

void ChildProcess::clear_output() {
  output_.clear();
  history_.clear();
  screen_ = Screen();
}

std::string ChildProcess::plain_output() const {
  std::string text = output_;
  std::erase(text, '\r');
  return text;
}

std::string find_program(const std::string& name) {
  std::stringstream dirs(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
  return std::string();
}
