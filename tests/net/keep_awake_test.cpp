// The sleep lock of a transfer, against a stand-in for the login manager on a private
// message bus: taken when the transfer starts, held while its bytes move, given back when
// it ends, whether the file arrived or not.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <sstream>
#include <thread>

#include "net/net_test_support.h"
#include "platform/power.h"
#include "support/child_process.h"

namespace {
using namespace nettest;

ChildOptions on_pipes(std::vector<std::string> args) {
  ChildOptions options;
  options.args = std::move(args);
  return options;
}

class KeepAwakeTest : public NetTest {
 protected:
  ChildProcess bus_daemon, login_manager;
  std::string log = path("login.log");
  NetConnection* accepted = nullptr;
  int peer = -1;
  std::atomic<int> held_while_moving{0};

  void SetUp() override {
    NetTest::SetUp();
    std::string daemon = find_program("dbus-daemon");
    if (daemon.empty()) GTEST_SKIP() << "no dbus-daemon";
    write_file(path("bus.conf"), "<busconfig><listen>unix:path=" + path("bus") +
                                     "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                     "<allow own=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                                     "</policy></busconfig>");
    ASSERT_TRUE(bus_daemon.start(on_pipes({daemon, "--nofork", "--print-address", "--config-file=" + path("bus.conf")})));
    ASSERT_TRUE(bus_daemon.wait_for("unix:path="));
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + path("bus")).c_str(), 1);
    ASSERT_TRUE(login_manager.start(on_pipes({"/usr/bin/python3", KV_SOURCE_DIR "/tests/net/login_manager.py", log})));
    for (int64_t end = now_ms() + 20000; count("ready") == 0 && now_ms() < end;) login_manager.wait_for("Error", 10);
    ASSERT_EQ(count("ready"), 1) << login_manager.output();
    ASSERT_NE(net_server_create_tcp(0, 0), 0);
    peer = accept_client(port_of(0), &accepted);
    net_set_progress([](int64_t, int64_t, void* self) {
      auto* test = static_cast<KeepAwakeTest*>(self);
      test->held_while_moving = std::max(test->held_while_moving.load(), test->held());
    }, this);
  }
  void TearDown() override {
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (peer >= 0) close(peer);
    NetTest::TearDown();
  }

  int count(const std::string& word) const {
    std::istringstream lines(read_file(log));
    int n = 0;
    for (std::string line; std::getline(lines, line);) n += line.rfind(word, 0) == 0;
    return n;
  }
  int held() const { return count("take ") - count("release "); }
  // Waits until every lock taken is given back again.
  bool all_released() const {
    for (int64_t end = now_ms() + 20000; held() != 0;)
      if (now_ms() > end) return false; else usleep(10000);
    return true;
  }
  void abort_peer() {
    linger off{1, 0};
    setsockopt(peer, SOL_SOCKET, SO_LINGER, &off, sizeof off);
    close(peer);
    peer = -1;
  }
};

TEST_F(KeepAwakeTest, ReceptionHoldsTheLockUntilItEndsStoredOrNot) {
  std::string content = pattern(3 << 20);
  ASSERT_TRUE(send_all(peer, header(static_cast<uint32_t>(content.size())) + content));
  EXPECT_EQ(net_receive_file(accepted, path("out").c_str()), 1);
  EXPECT_EQ(held_while_moving, 1);
  EXPECT_TRUE(all_released());
  EXPECT_NE(read_file(log).find("take sleep test_net block Eine Datei wird empfangen\n"), std::string::npos);

  held_while_moving = 0;
  ASSERT_TRUE(send_all(peer, header(1000) + std::string(500, 'h')));
  std::thread breaks_off([&] {
    for (int64_t end = now_ms() + 20000; held() == 0 && now_ms() < end;) usleep(1000);
    abort_peer();
  });
  EXPECT_EQ(net_receive_file(accepted, path("out").c_str()), 0);
  breaks_off.join();
  EXPECT_EQ(held_while_moving, 1);
  EXPECT_TRUE(all_released());
  EXPECT_EQ(count("take "), 2);
}

TEST_F(KeepAwakeTest, SendingHoldsTheLockUntilItEndsSentOrNot) {
  write_file(path("src"), pattern(3 << 20));
  std::atomic<bool> stop{false};
  std::thread reader([&] { drain(peer, stop); });
  EXPECT_EQ(net_send_file(accepted, path("src").c_str()), 1);
  stop = true;
  reader.join();
  EXPECT_EQ(held_while_moving, 1);
  EXPECT_TRUE(all_released());

  abort_peer();
  EXPECT_EQ(net_send_file(accepted, path("src").c_str()), 0);
  EXPECT_TRUE(all_released());
  EXPECT_EQ(count("take sleep test_net block Eine Datei wird gesendet"), 2);
}

// A bus that takes the connection and never answers delays a transfer's start by half a
// second at most; where nothing listens, it is told at once.
TEST(KeepAwake, ABusThatDoesNotAnswerIsGivenUpInTime) {
  TempDir dir;
  int bus = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{AF_UNIX, {}};
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", (dir / "bus").c_str());
  ASSERT_EQ(bind(bus, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(bus, 4), 0);
  for (const char* name : {"bus", "none"}) {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir / name).c_str(), 1);
    int64_t start = now_ms();
    EXPECT_EQ(power_keep_awake("x"), -1);
    EXPECT_LT(now_ms() - start, 5000) << name;
  }
  unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  close(bus);
}

}  // namespace
