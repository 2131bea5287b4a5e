// Helpers of the network tests: a fixture that starts and stops the library inside a
// fresh runtime and owns a scratch folder, plain loopback sockets for the other side, and
// bounded waits.
#pragma once
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "net/net.h"
#include "support/runtime_fixture.h"

namespace nettest {

inline int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The port a server of the registry is bound to (host order), 0 if there is none.
inline uint16_t port_of(int64_t number) {
  auto* server = static_cast<NetServer*>(registry_find(net_server_registry(), number));
  return server ? ntohs(server->address.port) : 0;
}

inline NetServer* server_of(int64_t number) {
  return static_cast<NetServer*>(registry_find(net_server_registry(), number));
}

// A plain blocking TCP client on 127.0.0.1:port, or -1.
inline int connect_raw(uint16_t port, int send_buffer = 0) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (send_buffer > 0) setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A port on which nothing listens (just released by a socket that had it).
inline uint16_t unused_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  close(fd);
  return ntohs(sa.sin_port);
}

inline bool send_raw(int fd, const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

// Waits up to max_ms until fd is readable. Returns true when it is.
inline bool wait_readable(int fd, int max_ms = 2000) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, max_ms) == 1;
}

inline int bytes_waiting(int fd) {
  int n = -1;
  ioctl(fd, FIONREAD, &n);
  return n;
}

// Waits up to max_ms until at least count bytes wait on fd.
inline bool wait_bytes(int fd, int count, int max_ms = 2000) {
  int64_t end = now_ms() + max_ms;
  while (bytes_waiting(fd) < count) {
    if (now_ms() > end) return false;
    usleep(1000);
  }
  return true;
}

// Reads everything until the peer closes (or max_ms pass). Returns the bytes.
inline std::string read_until_closed(int fd, int max_ms = 10000) {
  std::string all;
  char buf[65536];
  int64_t end = now_ms() + max_ms;
  while (now_ms() < end) {
    if (!wait_readable(fd, 100)) continue;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    all.append(buf, static_cast<size_t>(n));
  }
  return all;
}

// Polls (sleeping briefly between empty polls) until an event comes or max_ms pass.
inline int32_t next_event(int max_ms = 2000) {
  int64_t end = now_ms() + max_ms;
  for (;;) {
    int32_t event = net_server_poll();
    if (event != NET_EVENT_NONE || now_ms() > end) return event;
    net_server_wait(10);
  }
}

inline int open_descriptor_count() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(dir))
      if (e->d_name[0] != '.') ++count;
    closedir(dir);
  }
  return count - 1;  // the directory's own descriptor
}

inline std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Bytes that differ from position to position, so a shifted or repeated piece shows.
inline std::string pattern(size_t n, uint32_t seed = 1) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s[i] = static_cast<char>(x);
  }
  return s;
}

// The 12-byte header of a transfer announcing size bytes.
inline std::string header(uint32_t size, const char* magic = "QUORVANT") {
  std::string h(magic, 8);
  for (int i = 0; i < 4; ++i) h.push_back(static_cast<char>((size >> (8 * i)) & 0xff));
  return h;
}

inline std::vector<std::string> folder_entries(const std::string& dir) {
  std::vector<std::string> names;
  for (auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  return names;
}

}  // namespace nettest

// Each test gets a started library in a fresh runtime and an empty scratch folder.
class NetTest : public RuntimeTest {
 protected:
  std::string dir;

  void SetUp() override {
    RuntimeTest::SetUp();
    ASSERT_EQ(net_init(), 1);
    std::string tmpl = (std::filesystem::temp_directory_path() / "kvnetXXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir = tmpl;
  }

  void TearDown() override {
    net_shutdown();
    net_set_progress(nullptr, nullptr);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    RuntimeTest::TearDown();
  }

  std::string path(const std::string& name) const { return dir + "/" + name; }
};
