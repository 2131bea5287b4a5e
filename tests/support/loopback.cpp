#include "support/loopback.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <stdexcept>

namespace {

bool bind_test(int port, uint32_t address, bool reuse) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  if (reuse) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr = loopback(port);
  addr.sin_addr.s_addr = htonl(address);
  bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

// Test programs run side by side, and a port that is free now may be taken by a neighbour
// a moment later, before its program binds it. So each port goes to one test process at a
// time: the process binds a local socket in the abstract namespace named after the port
// and holds it to its end; others pass over it.
bool claim(int port) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un addr{AF_UNIX, {}};
  std::string name = "kv-test-port-" + std::to_string(port);
  std::memcpy(addr.sun_path + 1, name.data(), name.size());  // sun_path[0] == 0: abstract
  auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), size) == 0) return true;  // kept open
  close(fd);
  return false;
}

}  // namespace

sockaddr_in loopback(int port) {
  return {AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
}

int connect_to(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  close(fd);
  return -1;
}

int connect_started(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in addr = loopback(port);
  if (fd >= 0 && (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 || errno == EINPROGRESS))
    return fd;
  if (fd >= 0) close(fd);
  return -1;
}

int listen_on(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr = loopback(port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(fd, 8) == 0) return fd;
  close(fd);
  return -1;
}

int listen_silently(int port, int* filler) {
  int fd = listen_on(port);
  if (fd >= 0 && listen(fd, 0) == 0 && (*filler = connect_to(port)) >= 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

bool send_all(int fd, const std::string& bytes) {
  for (size_t sent = 0; sent < bytes.size();) {
    ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

int accept_within(int listener, int timeout_ms) {
  pollfd p{listener, POLLIN, 0};
  return poll(&p, 1, timeout_ms) > 0 ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
}

std::optional<std::string> read_until_close(int fd, int timeout_ms) {
  std::string bytes;
  char buffer[65536];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return std::nullopt;
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == 0) return bytes;
    if (n < 0) return errno == ECONNRESET ? std::optional<std::string>(bytes) : std::nullopt;
    bytes.append(buffer, static_cast<size_t>(n));
  }
}

bool port_free(int port) { return bind_test(port, INADDR_LOOPBACK, false); }

int free_port() {
  static int next = 2000 + static_cast<int>(getpid() % 7000);
  for (int tries = 0; tries < 8000; ++tries) {
    int port = next;
    next = next >= 9999 ? 2000 : next + 1;
    if (claim(port) && bind_test(port, INADDR_ANY, true)) return port;
  }
  throw std::runtime_error("no free port");
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

std::string header(uint32_t size, const char* magic) {
  std::string h(magic, 8);
  for (int i = 0; i < 4; ++i) h.push_back(static_cast<char>((size >> (8 * i)) & 0xff));
  return h;
}
