#include "support/pty_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

PtyProcess::PtyProcess(const std::string& program, const Options& options) {
  winsize size{};
  size.ws_col = static_cast<unsigned short>(options.columns);
  size.ws_row = static_cast<unsigned short>(options.rows);
  pid_ = forkpty(&master_, nullptr, nullptr, &size);
  if (pid_ < 0) throw std::runtime_error("forkpty failed");
  if (pid_ == 0) {
    for (const std::string& entry : options.env) {
      size_t eq = entry.find('=');
      std::string name = entry.substr(0, eq);
      std::string value = entry.substr(eq + 1);
      if (value.empty())
        unsetenv(name.c_str());
      else
        setenv(name.c_str(), value.c_str(), 1);
    }
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyProcess::~PtyProcess() {
  if (!exited_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (master_ >= 0) close(master_);
}

void PtyProcess::type(const std::string& text) {
  size_t sent = 0;
  int64_t deadline = now_ms() + 5000;
  while (sent < text.size() && now_ms() < deadline) {
    ssize_t n = write(master_, text.data() + sent, text.size() - sent);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else {
      pump(10);  // the program has not read yet: drain its output meanwhile
    }
  }
}

bool PtyProcess::pump(int timeout_ms) {
  pollfd p{master_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return true;
  char buffer[65536];
  bool open = true;
  for (;;) {
    ssize_t n = read(master_, buffer, sizeof buffer);
    if (n > 0) {
      std::string chunk(buffer, static_cast<size_t>(n));
      output_ += chunk;
      screen_.feed(chunk);
      continue;
    }
    // EIO: every slave side is closed, the program has gone.
    if (n == 0 || (n < 0 && errno == EIO)) open = false;
    break;
  }
  // Keep every line ever shown so that a text counts after a clear or an erase.
  std::string now = screen_.text();
  if (history_.size() < 8 * 1024 * 1024 && history_.find(now) == std::string::npos) history_ += now;
  return open;
}

bool PtyProcess::wait_for(const std::string& needle, int timeout_ms) {
  int64_t deadline = now_ms() + timeout_ms;
  for (;;) {
    if (history_.find(needle) != std::string::npos || screen_.text().find(needle) != std::string::npos ||
        output_.find(needle) != std::string::npos)
      return true;
    int64_t left = deadline - now_ms();
    if (left <= 0) return false;
    if (!pump(static_cast<int>(std::min<int64_t>(left, 50))) && !exited_) {
      // Output ended; one more look, then give up early.
      if (screen_.text().find(needle) != std::string::npos) return true;
      if (wait_exit(0) != -1) return false;
    }
  }
}

int PtyProcess::wait_exit(int timeout_ms) {
  int64_t deadline = now_ms() + timeout_ms;
  while (!exited_) {
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      exited_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (now_ms() >= deadline) return -1;
    pump(20);
  }
  pump(0);
  return status_;
}

void PtyProcess::signal(int signo) { kill(pid_, signo); }

int free_port() {
  static int next = 2000 + static_cast<int>(getpid() % 7000);
  for (int tries = 0; tries < 8000; ++tries) {
    int port = next;
    next = next >= 9999 ? 2000 : next + 1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    if (ok) return port;
  }
  throw std::runtime_error("no free port");
}
