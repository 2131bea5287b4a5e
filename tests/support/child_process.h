// Starts a helper program with its own environment and working folder, feeds its input
// through a pipe or a pseudo-terminal, and collects what it writes. Every wait has a
// deadline; a child still running when the test lets go of it is killed.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

struct ChildSetup {
  std::vector<std::string> args;  // args[0]: the program
  std::map<std::string, std::optional<std::string>> env;  // set, or unset with nullopt
  std::string cwd;
  bool terminal = false;  // standard input, output and error on a pseudo-terminal
};

class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (input_ >= 0) close(input_);
    if (output_ >= 0) close(output_);
  }

  // Starts the program. Output (standard output and error together) is collected from a
  // pipe or from the terminal.
  bool start(const ChildSetup& setup) {
    std::vector<std::string> env_strings;
    for (char** e = environ; *e; ++e) {
      std::string entry(*e);
      std::string name = entry.substr(0, entry.find('='));
      if (!setup.env.count(name)) env_strings.push_back(entry);
    }
    for (const auto& [name, value] : setup.env)
      if (value) env_strings.push_back(name + "=" + *value);
    std::vector<char*> argv, envp;
    for (const auto& a : setup.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto& e : env_strings) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    if (setup.terminal) {
      struct winsize size{};
      size.ws_row = 24;
      size.ws_col = 120;
      int master = -1;
      pid_ = forkpty(&master, nullptr, nullptr, &size);
      if (pid_ == 0) exec_child(setup.cwd, argv.data(), envp.data());
      if (pid_ < 0) return false;
      input_ = master;
      output_ = dup(master);
      return true;
    }
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return false;
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(out[1], 2);
      exec_child(setup.cwd, argv.data(), envp.data());
    }
    close(in[0]);
    close(out[1]);
    input_ = in[1];
    output_ = out[0];
    return pid_ > 0;
  }

  void write_input(const std::string& text) {
    if (input_ >= 0) (void)!write(input_, text.data(), text.size());
  }
  // Ends the input (a pipe only; on a terminal the test types what it needs).
  void close_input() {
    if (input_ >= 0 && output_ >= 0 && !terminal()) {
      close(input_);
      input_ = -1;
    }
  }

  // Reads output until it holds the text; false when the deadline passes first.
  bool read_until(const std::string& text, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (output_text_.find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      if (!read_some(50) && exited_) return output_text_.find(text) != std::string::npos;
    }
    return true;
  }

  // Waits for the program to end, reading its output meanwhile. Returns its exit code,
  // or -1 when it had to be killed at the deadline or ended by a signal.
  int wait(int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    while (pid_ > 0) {
      pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        pid_ = -1;
        break;
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return -1;
      }
      read_some(20);
    }
    while (read_some(50)) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  const std::string& output() const { return output_text_; }
  // The output without carriage returns (a terminal adds its own before each line feed).
  std::string lines() const {
    std::string text;
    for (char c : output_text_)
      if (c != '\r') text += c;
    return text;
  }
  // The text between RESULT[ and the next ]: the dialog's outcome.
  std::string result() const {
    size_t start = output_text_.rfind("RESULT[");
    if (start == std::string::npos) return "<no result>";
    start += 7;
    size_t end = output_text_.find_first_of("\r\n", start);
    std::string line = output_text_.substr(start, end - start);
    return line.empty() ? line : line.substr(0, line.size() - 1);
  }
  // The value of a "NAME value" report line.
  std::string reported(const std::string& name) const {
    size_t start = output_text_.rfind("\n" + name);
    if (start == std::string::npos) return "<none>";
    start += name.size() + 1;
    if (output_text_[start] == ' ') ++start;
    return output_text_.substr(start, output_text_.find_first_of("\r\n", start) - start);
  }

 private:
  [[noreturn]] static void exec_child(const std::string& cwd, char** argv, char** envp) {
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execve(argv[0], argv, envp);
    _exit(127);
  }
  bool terminal() const { return input_ >= 0 && isatty(input_); }

  // Reads what is there within the wait; false when nothing came (or the output ended).
  bool read_some(int wait_ms) {
    if (output_ < 0) return false;
    struct pollfd p{output_, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0) return false;
    char buffer[4096];
    ssize_t n = read(output_, buffer, sizeof buffer);
    if (n <= 0) {
      exited_ = true;
      close(output_);
      output_ = -1;
      return false;
    }
    output_text_.append(buffer, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  bool exited_ = false;
  std::string output_text_;
};

// A temporary folder, removed with everything in it at the end of the scope.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/kv-dialogs-XXXXXX";
    path_ = mkdtemp(pattern) ? pattern : "";
    if (!path_.empty()) path_ = std::filesystem::canonical(path_).string();
  }
  ~TempDir() {
    if (!path_.empty()) std::filesystem::remove_all(path_);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline std::string child_program(const char* name) { return std::string(KV_BUILD_DIR) + "/tests/" + name; }

// The full path of a program found on PATH, or empty.
inline std::string find_program(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::string();
}
