// The sleep lock of a transfer, against a stand-in for the login manager on a private
// message bus: taken when the transfer starts, held while its bytes move, given back when
// it ends, whether the file arrived or not; a bus that does not answer is given up.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <sstream>
#include <thread>

#include "net/net_test_support.h"
#include "platform/power.h"
#include "support/child_process.h"

namespace {
using namespace nettest;

ChildOptions with_args(std::vector<std::string> args) {
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
  std::atomic<int> most_held{0};  // locks held at once while bytes moved

  void SetUp() override {
    NetTest::SetUp();
    std::string daemon = find_program("dbus-daemon");
    if (daemon.empty()) GTEST_SKIP() << "no dbus-daemon";
    write_file(path("bus.conf"), "<busconfig><listen>unix:path=" + path("bus") + "</listen><policy context=\"default\">"
               "<allow own=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>");
    ASSERT_TRUE(bus_daemon.start(with_args({daemon, "--nofork", "--print-address", "--config-file=" + path("bus.conf")})));
    ASSERT_TRUE(bus_daemon.wait_for("unix:path="));
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + path("bus")).c_str(), 1);
    ASSERT_TRUE(login_manager.start(with_args({"/usr/bin/python3", KV_SOURCE_DIR "/tests/net/login_manager.py", log})));
    for (int64_t end = now_ms() + 20000; count("ready") == 0 && now_ms() < end;) login_manager.wait_for("Error", 10);
    ASSERT_EQ(count("ready"), 1) << login_manager.output();
    ASSERT_NE(net_server_create_tcp(0, 0), 0);
    peer = accept_client(port_of(0), &accepted);
    net_set_progress([](int64_t, int64_t, void* t) {
      auto* test = static_cast<KeepAwakeTest*>(t);
      test->most_held = std::max(test->most_held.load(), test->held());
    }, this);
  }
  void TearDown() override {
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    close(peer);
    NetTest::TearDown();
  }

  int count(const std::string& start) const {
    std::istringstream lines(read_file(log));
    int n = 0;
    for (std::string line; std::getline(lines, line);) n += line.rfind(start, 0) == 0;
    return n;
  }
  int held() const { return count("take ") - count("release "); }
  // The peer aborts the connection once the transfer holds its lock.
  std::thread abort_once_held() {
    return std::thread([this] {
      for (int64_t end = now_ms() + 20000; held() == 0 && now_ms() < end;) usleep(1000);
      linger off{1, 0};
      setsockopt(peer, SOL_SOCKET, SO_LINGER, &off, sizeof off);
      close(std::exchange(peer, -1));
    });
  }
  // The transfer ended with the result expected, and every lock is given back.
  void expect_ended(int32_t result, int32_t expected) {
    EXPECT_EQ(result, expected);
    for (int64_t end = now_ms() + 20000; held() != 0 && now_ms() < end;) usleep(10000);
    EXPECT_EQ(held(), 0);
  }
};

// Each side on its own, first with the file arriving, then with the peer breaking off.
TEST_F(KeepAwakeTest, EachTransferHoldsTheLockWhileItRunsAndGivesItBackHoweverItEnds) {
  std::string content = pattern(3 << 20);
  write_file(path("src"), content);
  std::ofstream{path("big")};
  ASSERT_EQ(truncate(path("big").c_str(), int64_t{64} << 20), 0);  // more than the sockets can hold
  ASSERT_TRUE(send_all(peer, header(static_cast<uint32_t>(content.size())) + content));
  expect_ended(net_receive_file(accepted, path("out").c_str()), 1);
  std::atomic<bool> stop{false};
  std::thread reader([&] { drain(peer, stop); });
  expect_ended(net_send_file(accepted, path("src").c_str()), 1);
  stop = true;
  reader.join();
  EXPECT_EQ(most_held, 1);

  ASSERT_TRUE(send_all(peer, header(1000) + std::string(500, 'h')));
  std::thread breaking_off = abort_once_held();
  expect_ended(net_receive_file(accepted, path("out").c_str()), 0);
  breaking_off.join();
  peer = accept_client(port_of(0), &accepted);
  breaking_off = abort_once_held();
  expect_ended(net_send_file(accepted, path("big").c_str()), 0);
  breaking_off.join();
  EXPECT_EQ(most_held, 1);
  EXPECT_EQ(count("take sleep test_net block Eine Datei wird empfangen"), 2);
  EXPECT_EQ(count("take sleep test_net block Eine Datei wird gesendet"), 2);
}

// A bus that takes the connection and then does not answer costs half a second at most.
TEST_F(KeepAwakeTest, ABusThatDoesNotAnswerIsGivenUpInTime) {
  bus_daemon.signal(SIGSTOP);
  int64_t start = now_ms();
  EXPECT_EQ(power_keep_awake("x"), -1);
  EXPECT_LT(now_ms() - start, 5000);
}

}  // namespace
