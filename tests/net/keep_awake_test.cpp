// The sleep lock of a transfer, against a stand-in for the login manager on a private
// message bus: taken when the transfer starts, held while its bytes move, given back when
// it ends, whether the file arrived or not; a bus that does not answer is given up soon.

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
  std::atomic<int> held_while_moving{0};  // the progress saw the lock held

  void SetUp() override {
    NetTest::SetUp();
    write_file(path("conf"),
               "<busconfig><listen>unix:path=" + path("bus") + R"(</listen><policy context="default">
      <allow own="*"/><allow send_destination="*"/><allow receive_sender="*"/></policy></busconfig>)");
    ChildOptions bus, manager;
    bus.args = {find_program("dbus-daemon"), "--nofork", "--print-address", "--config-file=" + dir + "/conf"};
    ASSERT_TRUE(bus_daemon.start(bus) && bus_daemon.wait_for("unix:path=")) << bus_daemon.output();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + path("bus")).c_str(), 1);
    manager.args = {"/usr/bin/python3", KV_SOURCE_DIR "/tests/net/login_manager.py", log};
    ASSERT_TRUE(login_manager.start(manager));
    wait_until([&] { return !read_file(log).empty(); }, 20000, 10);
    ASSERT_EQ(read_file(log), "ready\n") << login_manager.output();
    ASSERT_NE(net_server_create_tcp(0, 0), 0);
    peer = accept_client(port_of(0), &accepted);
    net_set_progress(note_holding, this);
  }
  void TearDown() override {
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    NetTest::TearDown();
  }

  static void note_holding(int64_t, int64_t, void* test) {
    static_cast<KeepAwakeTest*>(test)->held_while_moving |= static_cast<KeepAwakeTest*>(test)->holding();
  }
  // Whether this process holds the lock the login manager handed out last.
  bool holding() const {
    std::string lock = read_file(log + ".lock");
    std::error_code ignored;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd"))
      if (!lock.empty() && std::filesystem::read_symlink(fd.path(), ignored) == lock) return true;
    return false;
  }
  void abort_peer() {
    linger off{1, 0};
    setsockopt(peer, SOL_SOCKET, SO_LINGER, &off, sizeof off);
    close(std::exchange(peer, -1));
  }
  // The transfer ended as expected, held its lock while bytes moved and gave it back.
  void expect_ended(int32_t result, int32_t expected) {
    EXPECT_EQ(result, expected);
    EXPECT_TRUE(held_while_moving.exchange(0) || expected == 0);
    EXPECT_FALSE(holding());
    for (int64_t end = now_ms() + 20000; now_ms() < end; usleep(1000)) {
      std::string all = read_file(log);
      if (all.rfind("\nrelease ") + 1 > all.rfind("\ntake ") + 1) break;  // npos + 1 is 0
    }
  }
};

TEST_F(KeepAwakeTest, EachTransferHoldsTheLockWhileItRunsGivesItBackHoweverItEndsAndNeverWaitsLong) {
  std::string content = pattern(3 << 20);
  write_file(path("src"), pattern(16 << 10));           // the peer's socket takes it all unread
  write_file(path("big"), "");
  std::filesystem::resize_file(path("big"), 64 << 20);  // more than the sockets can hold; no disk space
  ASSERT_TRUE(send_all(peer, header(static_cast<uint32_t>(content.size())) + content));
  expect_ended(net_receive_file(accepted, path("out").c_str()), 1);
  expect_ended(net_send_file(accepted, path("src").c_str()), 1);
  std::thread receiver([&] {  // stores once the wait for its receipt was seen holding the lock
    EXPECT_TRUE(read_until_close(peer) && wait_until([&] { return held_while_moving.load() != 0; }, 20000));
    shutdown(peer, SHUT_WR);
  });
  expect_ended(net_await_receipt(accepted), NET_RECEIPT_STORED);
  receiver.join();
  peer = accept_client(port_of(0), &accepted);

  ASSERT_TRUE(send_all(peer, header(1000) + std::string(500, 'h')));
  abort_peer();
  expect_ended(net_receive_file(accepted, path("out").c_str()), 0);
  peer = accept_client(port_of(0), &accepted);
  abort_peer();
  expect_ended(net_send_file(accepted, path("big").c_str()), 0);
  std::string expected = "ready\n";
  for (std::string way : {"empfangen", "gesendet", "gesendet", "empfangen", "gesendet"})
    expected += "take sleep test_net block Eine Datei wird " + way + "\nrelease test_net\n";
  EXPECT_EQ(read_file(log), expected);

  // A login manager that does not answer costs the transfer half a second at most.
  login_manager.signal(SIGSTOP);
  int64_t start = now_ms();
  EXPECT_EQ(power_keep_awake("x"), -1);
  EXPECT_LT(now_ms() - start, 5000);
}

}  // namespace
