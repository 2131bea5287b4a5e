#include "e2e_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace e2e {

TempDir::TempDir() {
  char name[] = "/tmp/kv-e2e-XXXXXX";
  path = mkdtemp(name);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string pattern(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : bytes) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return bytes;
}

PtyProcess::Options text_mode(int columns) {
  PtyProcess::Options options;
  options.columns = columns;
  options.env = {"DISPLAY=", "WAYLAND_DISPLAY=", "KV_DIALOGS=text"};
  return options;
}

void start_receiver(PtyProcess& receiver, const std::string& save_path, const std::string& port_text) {
  receiver.wait_for("Bitte Ort zum speichern auswaehlen");
  receiver.type(save_path + "\r");
  receiver.wait_for("Bitte den Port eingeben (1-9999): ");
  receiver.type(port_text + "\r");
}

ReceiverRun::ReceiverRun(const std::string& save_path, int port_number, int columns)
    : target(save_path.empty() ? dir / "target.bin" : save_path),
      port(port_number ? port_number : free_port()),
      receiver(kReceiverProgram, text_mode(columns)) {
  start_receiver(receiver, target, std::to_string(port));
}

size_t count(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
  return n;
}

bool receiver_ready(PtyProcess& receiver) { return receiver.wait_for("Server: Wait for Connection ..."); }

void start_sender(PtyProcess& sender, const std::string& file_path, const std::string& port_text,
                  const std::string& ip_text) {
  sender.wait_for("kann die Datei gesendet werden!");
  sender.type("\r");
  sender.wait_for("Bitte Datei zum Laden auswählen");
  sender.type(file_path + "\r");
  sender.wait_for("Bitte den Port eingeben (1-9999): ");
  sender.type(port_text + "\r");
  sender.wait_for("Bitte die IP eingeben (0.0.0.0): ");
  sender.type(ip_text + "\r");
}

namespace {
sockaddr_in loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}
}  // namespace

int connect_to(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool send_all(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::string header(int32_t size) {
  std::string h = "QUORVANT";
  uint32_t u = static_cast<uint32_t>(size);
  for (int i = 0; i < 4; ++i) h += static_cast<char>((u >> (8 * i)) & 0xFF);
  return h;
}

int listen_on(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr = loopback(port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 8) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string read_until_close(int fd, int timeout_ms) {
  std::string bytes;
  char buffer[65536];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) break;
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  return bytes;
}

}  // namespace e2e

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

namespace e2e {

PipedProcess::PipedProcess(const std::string& program, const std::string& input, const std::string& folder)
    : output_path_(folder + "/output.txt") {
  std::string input_path = folder + "/input.txt";
  write_file(input_path, input);
  pid_ = fork();
  if (pid_ == 0) {
    int in = open(input_path.c_str(), O_RDONLY);
    int out = open(output_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    setsid();  // no controlling terminal
    setenv("KV_DIALOGS", "text", 1);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
}

PipedProcess::~PipedProcess() {
  if (!exited_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

std::string PipedProcess::output() const { return read_file(output_path_); }

bool PipedProcess::wait_for(const std::string& needle, int timeout_ms) {
  for (int waited = 0; waited <= timeout_ms; waited += 20) {
    if (output().find(needle) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

int PipedProcess::wait_exit(int timeout_ms) {
  for (int waited = 0; !exited_; waited += 20) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exited_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (waited >= timeout_ms) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return status_;
}

void PipedProcess::signal(int signo) { kill(pid_, signo); }

}  // namespace e2e
