#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "net/net.h"
#include "net_test_support.h"

using namespace nettest;

namespace {

class ServerTest : public NetTest {
 protected:
  // Creates a TCP server on a free port under number and returns that port.
  uint16_t tcp_server(int64_t number) {
    int64_t made = net_server_create_tcp(number, 0);
    EXPECT_NE(made, 0);
    return port_of(number);
  }

  // Connects a client to port and polls until the server reports it. Returns the
  // client's socket; the server side is in *accepted.
  int accept_client(uint16_t port, NetConnection** accepted) {
    int client = connect_raw(port);
    EXPECT_GE(client, 0);
    EXPECT_EQ(next_event(), NET_EVENT_CONNECT);
    *accepted = net_event_connection();
    return client;
  }

  static int count(const NetServer* server) {
    int n = 0;
    for (ListNode* node = server->connections; node; node = node->next) ++n;
    return n;
  }
};

TEST_F(ServerTest, NothingPendingGivesNoneAndKeepsTheEventConnection) {
  EXPECT_EQ(net_server_poll(), NET_EVENT_NONE);  // no servers at all
  uint16_t port = tcp_server(0);
  NetConnection* accepted = nullptr;
  int client = accept_client(port, &accepted);
  EXPECT_EQ(net_server_poll(), NET_EVENT_NONE);
  EXPECT_EQ(net_event_connection(), accepted);
  close(client);
}

TEST_F(ServerTest, ClientsComeBeforeBytesServersInNumberOrderNewestConnectionFirst) {
  uint16_t p1 = tcp_server(1);
  uint16_t p0 = tcp_server(0);
  int64_t dyn = net_server_create(REGISTRY_DYNAMIC, 0, NET_KIND_TCP);
  ASSERT_NE(dyn, 0);
  uint16_t pd = port_of(dyn);

  // Clients waiting on three servers: reported dynamic last, numbered by number.
  int cd = connect_raw(pd), c1 = connect_raw(p1), c0 = connect_raw(p0);
  for (int64_t n : {int64_t{0}, int64_t{1}, dyn}) ASSERT_TRUE(wait_readable(server_of(n)->socket));
  ASSERT_EQ(net_server_poll(), NET_EVENT_CONNECT);
  EXPECT_EQ(net_event_connection()->server, server_of(0));
  ASSERT_EQ(net_server_poll(), NET_EVENT_CONNECT);
  EXPECT_EQ(net_event_connection()->server, server_of(1));
  ASSERT_EQ(net_server_poll(), NET_EVENT_CONNECT);
  NetConnection* on_dyn = net_event_connection();
  EXPECT_EQ(on_dyn->server, server_of(dyn));
  NetConnection* first_on_0 = server_of(0)->connections ? static_cast<NetConnection*>(list_payload(server_of(0)->connections)) : nullptr;

  // A second client on server 0 is its newest connection.
  int c0b = connect_raw(p0);
  ASSERT_EQ(next_event(), NET_EVENT_CONNECT);
  NetConnection* newest_on_0 = net_event_connection();
  EXPECT_NE(newest_on_0, first_on_0);

  // Bytes on every connection: server 0 comes first, and there its newest connection.
  for (int fd : {cd, c1, c0, c0b}) ASSERT_TRUE(send_raw(fd, "x"));
  for (NetConnection* c : {on_dyn, first_on_0, newest_on_0}) ASSERT_TRUE(wait_bytes(c->socket, 1));
  ASSERT_EQ(net_server_poll(), NET_EVENT_DATA);
  EXPECT_EQ(net_event_connection(), newest_on_0);

  // A new client is reported before any of the waiting bytes.
  int c1b = connect_raw(p1);
  ASSERT_TRUE(wait_readable(server_of(1)->socket));
  ASSERT_EQ(net_server_poll(), NET_EVENT_CONNECT);
  EXPECT_EQ(net_event_connection()->server, server_of(1));
  ASSERT_EQ(net_server_poll(), NET_EVENT_DATA);  // bytes untaken: reported again
  EXPECT_EQ(net_event_connection(), newest_on_0);
  for (int fd : {cd, c1, c0, c0b, c1b}) close(fd);
}

TEST_F(ServerTest, FileOnlyForTheEightMagicLettersAndNoByteIsTaken) {
  uint16_t port = tcp_server(0);
  NetConnection* conn = nullptr;
  int client = accept_client(port, &conn);

  ASSERT_TRUE(send_raw(client, "QUORV"));
  ASSERT_TRUE(wait_bytes(conn->socket, 5));
  EXPECT_EQ(net_server_poll(), NET_EVENT_DATA);  // the start of the magic is not enough
  EXPECT_EQ(net_event_connection(), conn);
  ASSERT_TRUE(send_raw(client, "ANT"));
  ASSERT_TRUE(wait_bytes(conn->socket, 8));
  EXPECT_EQ(net_server_poll(), NET_EVENT_FILE);
  EXPECT_EQ(net_server_poll(), NET_EVENT_FILE);
  EXPECT_EQ(bytes_waiting(conn->socket), 8);

  NetConnection* other = nullptr;
  int client2 = accept_client(port, &other);
  ASSERT_TRUE(send_raw(client2, "QUORVANX"));
  ASSERT_TRUE(wait_bytes(other->socket, 8));
  EXPECT_EQ(net_server_poll(), NET_EVENT_DATA);  // newest first, and not the magic
  EXPECT_EQ(net_event_connection(), other);
  close(client);
  close(client2);
}

TEST_F(ServerTest, ConnectThenCloseGivesConnectThenDisconnectAndTheRecordGoes) {
  uint16_t port = tcp_server(0);
  NetConnection* conn = nullptr;
  int client = accept_client(port, &conn);
  EXPECT_EQ(conn->kind, NET_KIND_TCP);
  EXPECT_EQ(count(server_of(0)), 1);
  close(client);
  EXPECT_EQ(next_event(), NET_EVENT_DISCONNECT);
  EXPECT_EQ(net_event_connection(), conn);
  EXPECT_EQ(count(server_of(0)), 0);
  EXPECT_EQ(net_server_poll(), NET_EVENT_NONE);

  // A reset connection counts as closed too.
  int reset = accept_client(port, &conn);
  linger hard{1, 0};
  setsockopt(reset, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(reset);
  EXPECT_EQ(next_event(), NET_EVENT_DISCONNECT);
  EXPECT_EQ(count(server_of(0)), 0);
}

TEST_F(ServerTest, ClosedConnectionReportsItsWaitingBytesBeforeItsEnd) {
  uint16_t port = tcp_server(0);
  NetConnection* conn = nullptr;
  int client = accept_client(port, &conn);
  ASSERT_TRUE(send_raw(client, header(0)));
  close(client);
  ASSERT_TRUE(wait_bytes(conn->socket, 12));
  EXPECT_EQ(net_server_poll(), NET_EVENT_FILE);
}

TEST_F(ServerTest, AcceptedAndListeningSocketsAreNonBlockingAndCloseOnExec) {
  uint16_t port = tcp_server(0);
  NetConnection* conn = nullptr;
  int client = accept_client(port, &conn);
  for (int fd : {conn->socket, server_of(0)->socket}) {
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK) << fd;
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << fd;
  }
  int reuse = 0;
  socklen_t len = sizeof reuse;
  getsockopt(server_of(0)->socket, SOL_SOCKET, SO_REUSEADDR, &reuse, &len);
  EXPECT_NE(reuse, 0);
  close(client);
}

TEST_F(ServerTest, SocketsStayOffTheStandardStreamNumbers) {
  EXPECT_EXIT(
      {
        close(0);
        close(1);
        int64_t sock = net_server_create_tcp(0, 0);
        int client = connect_raw(port_of(0));
        int32_t event = next_event();
        NetConnection* conn = net_event_connection();
        bool ok = sock > 2 && event == NET_EVENT_CONNECT && conn->socket > 2 && client >= 0;
        _exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(ServerTest, ReusedNumberClosesTheOldServerAndItsClientsEvenWhenCreationFails) {
  uint16_t port = tcp_server(0);
  NetConnection* conn = nullptr;
  int client = accept_client(port, &conn);
  EXPECT_EQ(net_server_create_tcp(0, 65536), 0);
  EXPECT_EQ(server_of(0), nullptr);
  EXPECT_EQ(read_until_closed(client, 2000), "");  // the client saw its connection end
  EXPECT_EQ(connect_raw(port), -1);                 // nothing listens any more
  EXPECT_EQ(net_server_poll(), NET_EVENT_NONE);
  close(client);

  // The same port can be taken again at once although closed connections linger.
  ASSERT_NE(net_server_create_tcp(0, port), 0);
  int again = accept_client(port, &conn);
  ASSERT_NE(net_server_create_tcp(0, port), 0);  // replaced by a live server on that port
  EXPECT_EQ(read_until_closed(again, 2000), "");
  EXPECT_EQ(port_of(0), port);
  close(again);
}

TEST_F(ServerTest, PortRangeKindsAndDynamicFailures) {
  EXPECT_NE(net_server_create(5, 0, NET_KIND_TCP), 0);
  EXPECT_NE(port_of(5), 0);
  EXPECT_EQ(server_of(5)->address.family, 2);
  EXPECT_EQ(server_of(5)->address.address, 0u);
  EXPECT_EQ(net_server_create(6, 65536, NET_KIND_TCP), 0);
  EXPECT_EQ(net_server_create(7, 0, 3), 0);
  EXPECT_EQ(net_server_create(8, port_of(5), NET_KIND_TCP), 0);  // a second listener is refused
  EXPECT_EQ(net_server_create(-2, 0, NET_KIND_TCP), 0);
  EXPECT_EQ(net_server_create(REGISTRY_DYNAMIC, 70000, NET_KIND_TCP), 0);
  EXPECT_EQ(net_server_registry()->dynamic, nullptr);  // the failed element was given back

  int64_t dyn = net_server_create(REGISTRY_DYNAMIC, 0, NET_KIND_UDP);
  ASSERT_NE(dyn, 0);
  EXPECT_NE(dyn, REGISTRY_DYNAMIC);
  EXPECT_GE(dyn, net_server_registry()->capacity);
  EXPECT_EQ(server_of(dyn)->number, dyn);
  net_server_close(dyn);
  EXPECT_EQ(server_of(dyn), nullptr);
  net_server_close(dyn);  // no live server: nothing happens
  net_server_close(99);
  EXPECT_NE(server_of(5), nullptr);
}

TEST_F(ServerTest, UdpPeersAccumulateTheirDatagrams) {
  int64_t sock = net_server_create(0, 0, NET_KIND_UDP);
  ASSERT_NE(sock, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port_of(0));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto send_to = [&](int fd, const std::string& bytes) {
    sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  };
  int a = socket(AF_INET, SOCK_DGRAM, 0), b = socket(AF_INET, SOCK_DGRAM, 0);

  send_to(a, "ab");
  ASSERT_EQ(next_event(), NET_EVENT_DATA);  // a new peer gives no connect event
  NetConnection* peer = net_event_connection();
  send_to(a, "cde");
  ASSERT_EQ(next_event(), NET_EVENT_DATA);
  EXPECT_EQ(net_event_connection(), peer);
  EXPECT_EQ(peer->kind, NET_KIND_UDP);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(peer->data), static_cast<size_t>(peer->data_length)), "abcde");
  sockaddr_in mine{};
  socklen_t len = sizeof mine;
  getsockname(a, reinterpret_cast<sockaddr*>(&mine), &len);
  EXPECT_EQ(peer->socket, ntohs(mine.sin_port));
  EXPECT_EQ(peer->peer_address, htonl(INADDR_LOOPBACK));

  send_to(a, std::string(3000, 'L'));  // too long: lost
  send_to(b, "z");
  ASSERT_EQ(next_event(), NET_EVENT_DATA);
  NetConnection* second = net_event_connection();
  EXPECT_NE(second, peer);
  EXPECT_EQ(second->data_length, 1);
  EXPECT_EQ(peer->data_length, 5);
  EXPECT_EQ(next_event(200), NET_EVENT_NONE);

  net_connection_close(second);
  EXPECT_EQ(count(server_of(0)), 1);
  EXPECT_NE(server_of(0), nullptr);  // the server keeps its socket
  close(a);
  close(b);
}

TEST_F(ServerTest, ClosingAnAcceptedConnectionEndsItWithoutAnEvent) {
  uint16_t port = tcp_server(0);
  NetConnection* conn = nullptr;
  int client = accept_client(port, &conn);
  net_connection_close(conn);
  EXPECT_EQ(count(server_of(0)), 0);
  EXPECT_EQ(read_until_closed(client, 2000), "");
  EXPECT_EQ(next_event(200), NET_EVENT_NONE);
  close(client);
}

TEST_F(ServerTest, PeekReportsWaitingNothingAndClosed) {
  uint16_t port = tcp_server(0);
  NetConnection* conn = nullptr;
  int client = accept_client(port, &conn);
  char buf[8];
  EXPECT_EQ(net_peek(conn->socket, 8, buf), 0);
  send_raw(client, "0123456789");
  ASSERT_TRUE(wait_bytes(conn->socket, 10));
  EXPECT_EQ(net_peek(conn->socket, 8, buf), 8);
  EXPECT_EQ(std::memcmp(buf, "01234567", 8), 0);
  EXPECT_EQ(bytes_waiting(conn->socket), 10);
  char all[16];
  ASSERT_EQ(recv(conn->socket, all, sizeof all, 0), 10);
  close(client);
  ASSERT_TRUE(wait_readable(conn->socket));
  EXPECT_EQ(net_peek(conn->socket, 8, buf), NET_PEEK_CLOSED);
}

TEST_F(ServerTest, WaitWakesForAClientAndOtherwiseTimesOut) {
  EXPECT_EQ(net_server_wait(20), 0);  // no servers
  uint16_t port = tcp_server(0);
  EXPECT_EQ(net_server_wait(30), 0);
  int client = connect_raw(port);
  EXPECT_EQ(net_server_wait(2000), 1);
  ASSERT_EQ(net_server_poll(), NET_EVENT_CONNECT);
  EXPECT_EQ(net_server_wait(30), 0);
  send_raw(client, "hi");
  EXPECT_EQ(net_server_wait(2000), 1);
  close(client);
}

TEST_F(ServerTest, ShutdownOnAnotherThreadWhilePollingIsHarmless) {
  uint16_t port = tcp_server(0);
  NetConnection* conn = nullptr;
  int client = accept_client(port, &conn);
  send_raw(client, "data");
  std::atomic<bool> done{false};
  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    net_shutdown();
    done = true;
  });
  int64_t end = now_ms() + 5000;
  int32_t last = NET_EVENT_NONE;
  while (!done && now_ms() < end) last = net_server_poll();
  closer.join();
  (void)last;
  EXPECT_EQ(net_server_poll(), NET_EVENT_NONE);
  EXPECT_EQ(net_server_wait(10), 0);
  EXPECT_EQ(net_server_create_tcp(1, 0), 0);
  net_connection_close(conn);  // already gone with its server: ignored
  net_server_close(0);
  EXPECT_EQ(read_until_closed(client, 2000), "");
  close(client);
}

}  // namespace
