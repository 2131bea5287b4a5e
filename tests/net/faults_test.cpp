// The library under faults a real network produces: peers that trickle or idle, many
// clients at once, no descriptors left. (Peers that reset and unwritable targets are rows
// of the transfer save-path table.)

#include <set>

#include "net_test_support.h"

using namespace nettest;

namespace {

class FaultTest : public NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    ASSERT_NE(net_server_create_tcp(0, 0), 0);
  }
};

TEST_F(FaultTest, OneByteEveryTenthOfASecondForTenSecondsKeepsReceptionAlive) {
  auto [fd, conn] = accept_client(port_of(0));
  std::string content = pattern(100);
  TestClock clock(0);  // moved on by the trickle alone: 100 ms before each byte
  std::atomic<bool> receiving{true};
  std::thread trickle([&, fd = fd, conn = conn] {  // clang 14 captures no structured binding
    send_all(fd, header(100));
    for (char c : content) {
      // Each byte comes once the reception took what came before and waits again.
      wait_until([&] { return !receiving || bytes_waiting(conn->socket) <= 0; }, 2000);
      clock.advance(100);
      send_all(fd, std::string(1, c));
    }
  });
  EXPECT_EQ(net_receive_file(conn, path("out").c_str()), 1);
  receiving = false;
  trickle.join();
  EXPECT_EQ(read_file(path("out")), content);
  close(fd);
  net_connection_close(conn);
}

TEST_F(FaultTest, TwoHundredClientsAtOnceAreEachReportedOnce) {
  // As many clients as the listen queue is made for connect at the same moment, without
  // waiting; each further one connects as soon as the server took one, so the queue stays
  // full and the last ones get in while the server is accepting the first. (A client
  // beyond a full queue is not refused: the system drops its request, and the client asks
  // again only a second later.)
  constexpr int kClients = 200;
  static_assert(kClients >= 2 * NET_LISTEN_BACKLOG, "twice as many as the queue is made for");
  std::vector<int> clients;
  auto connect_one = [&] {
    clients.push_back(connect_started(port_of(0)));
    ASSERT_GE(clients.back(), 0) << clients.size();
  };
  auto connected = [](int fd) {
    pollfd p{fd, POLLOUT, 0};
    return poll(&p, 1, 2000) == 1;
  };
  for (int i = 0; i < NET_LISTEN_BACKLOG; ++i) ASSERT_NO_FATAL_FAILURE(connect_one());
  for (int fd : clients) ASSERT_TRUE(connected(fd));  // in the queue, which is full now
  std::set<NetConnection*> seen;
  int connects = 0;
  for (int64_t end = now_ms() + 20000; connects < kClients && now_ms() < end;) {
    int32_t event = next_event(200);
    if (event == NET_EVENT_NONE) continue;
    EXPECT_EQ(event, NET_EVENT_CONNECT);
    ++connects;
    EXPECT_TRUE(seen.insert(net_event_connection()).second) << "each connection once";
    if (clients.size() < kClients) {
      ASSERT_NO_FATAL_FAILURE(connect_one());
    }
  }
  ASSERT_EQ(connects, kClients);

  // No event beyond one per client: with every client in, the poll has nothing to tell.
  for (int fd : clients) ASSERT_TRUE(connected(fd));
  EXPECT_EQ(net_server_poll(), NET_EVENT_NONE) << "no event beyond one per client";
  for (int fd : clients) close(fd);
}

// More clients than the process has descriptors for: the receiver's loop (poll, and the
// idle wait when nothing happened) must not spin on the listening socket, which stays
// readable while accepting fails, and a transfer on a client accepted before still works.
TEST_F(FaultTest, RunningOutOfDescriptorsPausesAcceptingAndAnAcceptedTransferStillWorks) {
  auto [sender, sender_conn] = accept_client(port_of(0));
  std::vector<int> clients;
  for (int i = 0; i < 60; ++i) {
    clients.push_back(connect_started(port_of(0)));
    ASSERT_GE(clients.back(), 0);
  }
  // Room for ten more descriptors below the limit.
  int lowest_free = dup(0);
  close(lowest_free);
  rlimit old{};
  getrlimit(RLIMIT_NOFILE, &old);
  rlimit low{static_cast<rlim_t>(lowest_free + 10), old.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);

  rusage before{}, after{};
  getrusage(RUSAGE_THREAD, &before);
  int connects = 0, idle_polls = 0;
  for (int64_t end = now_ms() + 250; now_ms() < end;) {
    int32_t event = net_server_poll();
    if (event == NET_EVENT_CONNECT) ++connects;
    if (event != NET_EVENT_NONE) continue;
    ++idle_polls;
    net_server_wait(100);
  }
  getrusage(RUSAGE_THREAD, &after);
  auto cpu_ms = [](const rusage& r) {
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000 + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000;
  };
  int64_t cpu = cpu_ms(after) - cpu_ms(before);
  EXPECT_GT(connects, 0);
  EXPECT_LT(connects, 60) << "the descriptors did run out";
  // A tenth of a second per idle pass is 3 passes; spinning makes thousands.
  EXPECT_LE(idle_polls, 8) << "CPU " << cpu << " ms";
  EXPECT_LT(cpu, 100) << "of 250 ms";

  std::string content = pattern(300000);
  ASSERT_TRUE(send_all(sender, header(static_cast<uint32_t>(content.size())) + content));
  int32_t event = NET_EVENT_NONE;
  for (int64_t end = now_ms() + 5000; event != NET_EVENT_FILE && now_ms() < end;) {
    event = net_server_poll();
    if (event == NET_EVENT_NONE) net_server_wait(100);
  }
  ASSERT_EQ(event, NET_EVENT_FILE);
  ASSERT_EQ(net_event_connection(), sender_conn);
  int32_t received = net_receive_file(sender_conn, path("out").c_str());
  setrlimit(RLIMIT_NOFILE, &old);
  EXPECT_EQ(received, 1);
  EXPECT_TRUE(read_file(path("out")) == content);
  net_connection_close(sender_conn);
  close(sender);
  for (int fd : clients) close(fd);
}

TEST_F(FaultTest, AnIdleClientDoesNotDisturbAnotherOnesTransfer) {
  auto [idle, idle_conn] = accept_client(port_of(0));
  auto [sender, sender_conn] = accept_client(port_of(0));
  std::string content = pattern(300000);
  ASSERT_TRUE(send_all(sender, header(static_cast<uint32_t>(content.size())) + content));
  ASSERT_EQ(next_event(), NET_EVENT_FILE);
  ASSERT_EQ(net_event_connection(), sender_conn);
  EXPECT_EQ(net_receive_file(sender_conn, path("out").c_str()), 1);
  EXPECT_TRUE(read_file(path("out")) == content);
  // Every byte sent was taken: anything the poll reports now is made up.
  EXPECT_EQ(net_server_poll(), NET_EVENT_NONE) << "the idle client says nothing";
  net_connection_close(sender_conn);
  close(idle);
  EXPECT_EQ(next_event(), NET_EVENT_DISCONNECT);
  EXPECT_EQ(net_event_connection(), idle_conn);
  close(sender);
}

}  // namespace
