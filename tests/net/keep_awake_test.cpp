// The sleep lock of a transfer, against a stand-in for the login manager on a private
// message bus: taken when the transfer starts, held while its bytes move, given back when
// it ends, whether the file arrived or not; a bus that does not answer is given up soon.
#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "net/net_test_support.h"
#include "platform/power.h"
#include "support/child_process.h"

namespace {
using namespace nettest;

class KeepAwakeTest : public NetTest {
 protected:
  ChildProcess bus_daemon, login_manager;
  std::string log = path("login.log");
  NetConnection* accepted = nullptr;
  int peer = -1;
  std::atomic<bool> held_while_moving{false};

  void SetUp() override {
    NetTest::SetUp();
    write_file(path("bus.conf"), "<busconfig><listen>unix:path=" + path("bus") + "</listen><policy context=\"default\">"
               "<allow own=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>");
    ChildOptions bus, manager;
    bus.args = {find_program("dbus-daemon"), "--nofork", "--print-address", "--config-file=" + path("bus.conf")};
    ASSERT_TRUE(bus_daemon.start(bus) && bus_daemon.wait_for("unix:path=")) << "dbus-daemon: " << bus_daemon.output();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + path("bus")).c_str(), 1);
    manager.args = {"/usr/bin/python3", KV_SOURCE_DIR "/tests/net/login_manager.py", log};
    ASSERT_TRUE(login_manager.start(manager));
    for (int64_t end = now_ms() + 20000; read_file(log).empty() && now_ms() < end;) login_manager.wait_for("Error", 10);
    ASSERT_EQ(read_file(log), "ready\n") << login_manager.output();
    ASSERT_NE(net_server_create_tcp(0, 0), 0);
    peer = accept_client(port_of(0), &accepted);
    net_set_progress([](int64_t, int64_t, void* test) { static_cast<KeepAwakeTest*>(test)->note_holding(); }, this);
  }
  void TearDown() override {
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    close(peer);
    NetTest::TearDown();
  }

  void note_holding() { held_while_moving = held_while_moving || holding(); }
  // Whether the last the login manager did was handing out a lock.
  bool holding() const {
    std::string all = read_file(log);
    return all.compare(all.rfind('\n', all.size() - 2) + 1, 5, "take ") == 0;
  }
  // The peer aborts the connection once the transfer holds its lock.
  std::thread abort_once_held() {
    return std::thread([this] {
      for (int64_t end = now_ms() + 20000; !holding() && now_ms() < end;) usleep(1000);
      linger off{1, 0};
      setsockopt(peer, SOL_SOCKET, SO_LINGER, &off, sizeof off);
      close(std::exchange(peer, -1));
    });
  }
  // The transfer ended as expected, held its lock while bytes moved and gives it back.
  void expect_ended(int32_t result, int32_t expected) {
    EXPECT_EQ(result, expected);
    EXPECT_TRUE(held_while_moving.exchange(false) || expected == 0);
    for (int64_t end = now_ms() + 20000; holding() && now_ms() < end;) usleep(10000);
    EXPECT_FALSE(holding());
  }
};

// Each side on its own, first with the file arriving, then with the peer breaking off.
TEST_F(KeepAwakeTest, EachTransferHoldsTheLockWhileItRunsGivesItBackHoweverItEndsAndNeverWaitsLong) {
  std::string content = pattern(3 << 20);
  write_file(path("src"), content);
  write_file(path("big"), std::string(64 << 20, 'b'));  // more than the sockets can hold
  ASSERT_TRUE(send_all(peer, header(static_cast<uint32_t>(content.size())) + content));
  expect_ended(net_receive_file(accepted, path("out").c_str()), 1);
  std::atomic<bool> stop{false};
  std::thread reader([&] { drain(peer, stop); });
  expect_ended(net_send_file(accepted, path("src").c_str()), 1);
  stop = true;
  reader.join();

  ASSERT_TRUE(send_all(peer, header(1000) + std::string(500, 'h')));
  std::thread breaking_off = abort_once_held();
  expect_ended(net_receive_file(accepted, path("out").c_str()), 0);
  breaking_off.join();
  peer = accept_client(port_of(0), &accepted);
  breaking_off = abort_once_held();
  expect_ended(net_send_file(accepted, path("big").c_str()), 0);
  breaking_off.join();
  std::string expected = "ready\n";
  for (std::string way : {"empfangen", "gesendet", "empfangen", "gesendet"})
    expected += "take sleep test_net block Eine Datei wird " + way + "\nrelease test_net\n";
  EXPECT_EQ(read_file(log), expected);

  // A bus that takes the connection and then does not answer costs half a second at most.
  bus_daemon.signal(SIGSTOP);
  int64_t start = now_ms();
  EXPECT_EQ(power_keep_awake("x"), -1);
  EXPECT_LT(now_ms() - start, 5000);
}

}  // namespace
