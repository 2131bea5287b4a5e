// Helpers of the network tests, and the headers nearly all of them need: a fixture that
// starts and stops the library in a fresh runtime with an empty scratch folder, loopback
// sockets for the peer, bounded waits.
#pragma once
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "net/net.h"
#include "platform/clock.h"
#include "platform/common/test_helper.h"
#include "platform/socket.h"
#include "support/loopback.h"
#include "support/runtime_fixture.h"
#include "support/temp_dir.h"

namespace nettest {

inline NetServer* server_of(int64_t number) {
  return static_cast<NetServer*>(registry_find(net_server_registry(), number));
}

// The port a live server is bound to (host order), 0 if there is none.
inline uint16_t port_of(int64_t number) {
  return server_of(number) ? ntohs(server_of(number)->address.port) : 0;
}

inline bool wait_readable(int fd, int max_ms = 2000) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, max_ms) == 1;
}

inline int bytes_waiting(int fd) {
  int n = -1;
  ioctl(fd, FIONREAD, &n);
  return n;
}

// Waits up to 2 s until at least count bytes wait on fd.
inline bool wait_bytes(int fd, int count) {
  return wait_until([=] { return bytes_waiting(fd) >= count; }, 2000);
}

// Waits up to 2 s until the reader of fd took every byte waiting there.
inline bool wait_taken(int fd) {
  return wait_until([=] { return bytes_waiting(fd) <= 0; }, 2000);
}

// Appends up to size bytes that wait on the TCP socket fd to all, without waiting, and
// has the system acknowledge them at once; returns what the receive returned. Left to
// itself, a reader that takes small pieces gets its acknowledgements sent only by the
// system's timer for delayed ones, tens of milliseconds later, and a sender with a small
// send buffer stalls for each of them.
inline ssize_t recv_now(int fd, std::string& all, size_t size = 65536) {
  char buf[65536];
  ssize_t n = recv(fd, buf, std::min(size, sizeof buf), MSG_DONTWAIT);
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
  if (n > 0) all.append(buf, static_cast<size_t>(n));
  return n;
}

// Receives what arrives on fd until the peer closes, or stop is set and nothing more
// comes, or max_ms pass.
inline std::string drain(int fd, const std::atomic<bool>& stop, int max_ms = 20000) {
  std::string all;
  for (int64_t end = now_ms() + max_ms; now_ms() < end;) {
    if (!wait_readable(fd, 20)) {
      if (stop) break;
      continue;
    }
    if (recv_now(fd, all) == 0) break;
  }
  return all;
}

// A slow reader: receives on fd until count bytes came or max_ms pass, pausing pause_us.
inline std::string take(int fd, size_t count, int pause_us = 0, int max_ms = 20000) {
  std::string all;
  for (int64_t end = now_ms() + max_ms; all.size() < count && now_ms() < end;) {
    if (!wait_readable(fd, 20)) continue;
    recv_now(fd, all, pause_us ? 16384 : 65536);
    if (pause_us) usleep(static_cast<useconds_t>(pause_us));
  }
  return all;
}

// The library's millisecond clock replaced for one test, so rules of seconds are tested in
// a fraction of the time. With speed 0 it stands still until the test moves it on with
// advance(); with a speed it runs that many times as fast as real time, from start on.
class TestClock {
 public:
  explicit TestClock(uint32_t speed, uint32_t start = 0) {
    offset_ = start;
    speed_ = speed;
    real_start_ = now_ms();
    clock_set_source(read);
  }
  ~TestClock() { clock_set_source(nullptr); }
  TestClock(const TestClock&) = delete;
  TestClock& operator=(const TestClock&) = delete;
  void advance(uint32_t ms) { offset_ += ms; }

 private:
  static inline std::atomic<uint32_t> offset_{0}, speed_{0};
  static inline std::atomic<int64_t> real_start_{0};
  static uint32_t read() { return offset_ + speed_ * static_cast<uint32_t>(now_ms() - real_start_); }
};

// Polls, waiting briefly between empty polls, until an event comes or max_ms pass.
inline int32_t next_event(int max_ms = 2000) {
  for (int64_t end = now_ms() + max_ms;;) {
    int32_t event = net_server_poll();
    if (event != NET_EVENT_NONE || now_ms() > end) return event;
    net_server_wait(10);
  }
}

// Runs fn in a child process of its own; true when it returned true there.
inline bool in_child(const std::function<bool()>& fn) {
  pid_t child = fork();
  if (child == 0) _exit(fn() ? 0 : 1);
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
  TempDir scratch;
  std::string dir = scratch.path();

  void SetUp() override {
    RuntimeTest::SetUp();
    ASSERT_EQ(net_init(), 1);
    ASSERT_FALSE(dir.empty());
  }

  void TearDown() override {
    net_shutdown();
    net_set_progress(nullptr, nullptr);
    RuntimeTest::TearDown();
  }

  std::string path(const std::string& name) const { return dir + "/" + name; }

  // Connects a client to port and polls until the server reports it. Returns the
  // client's socket; the server's side goes to *accepted.
  int accept_client(uint16_t port, NetConnection** accepted) {
    int client = connect_to(port);
    EXPECT_GE(client, 0);
    EXPECT_EQ(nettest::next_event(), NET_EVENT_CONNECT);
    *accepted = net_event_connection();
    return client;
  }
  // The same, returning both sides: the client's socket and the server's side.
  std::pair<int, NetConnection*> accept_client(uint16_t port) {
    NetConnection* accepted = nullptr;
    int client = accept_client(port, &accepted);
    return {client, accepted};
  }

  bool no_temporary_files() const { return temporary_files(dir).empty(); }
};
