#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>

#include <cstddef>

#include "net/allow.h"
#include "platform/addresses.h"
#include "net_test_support.h"

using namespace nettest;

namespace {

class ServerTest : public NetTest {
 protected:
  static NetConnection* newest(int64_t number) {
    ListNode* head = server_of(number)->connections;
    return head ? static_cast<NetConnection*>(list_payload(head)) : nullptr;
  }
};

TEST_F(ServerTest, ClientsComeBeforeBytesServersInNumberOrderNewestConnectionFirst) {
  EXPECT_EQ(net_server_poll(), NET_EVENT_NONE);  // no servers at all
  ASSERT_NE(net_server_create_tcp(1, 0), 0);
  ASSERT_NE(net_server_create_tcp(0, 0), 0);
  int64_t dyn = net_server_create(REGISTRY_DYNAMIC, 0, NET_KIND_TCP);
  ASSERT_NE(dyn, 0);

  int cd = connect_to(port_of(dyn)), c1 = connect_to(port_of(1)), c0 = connect_to(port_of(0));
  for (int64_t n : {int64_t{0}, int64_t{1}, dyn}) ASSERT_TRUE(wait_readable(server_of(n)->socket));
  for (int64_t n : {int64_t{0}, int64_t{1}, dyn}) {
    ASSERT_EQ(net_server_poll(), NET_EVENT_CONNECT);
    EXPECT_EQ(net_event_connection()->server, server_of(n));
  }
  NetConnection* first_on_0 = newest(0);
  EXPECT_EQ(net_server_poll(), NET_EVENT_NONE);
  EXPECT_EQ(net_event_connection(), newest(dyn));  // unchanged by an empty poll
  int c0b = connect_to(port_of(0));
  ASSERT_EQ(next_event(), NET_EVENT_CONNECT);
  NetConnection* newest_on_0 = net_event_connection();
  EXPECT_EQ(newest(0), newest_on_0);

  // Bytes on every connection: server 0 first, and there its newest connection.
  for (int fd : {cd, c1, c0, c0b}) ASSERT_TRUE(send_all(fd, "x"));
  for (NetConnection* c : {newest(dyn), newest(1), first_on_0, newest_on_0})
    ASSERT_TRUE(wait_bytes(c->socket, 1));
  ASSERT_EQ(net_server_poll(), NET_EVENT_DATA);
  EXPECT_EQ(net_event_connection(), newest_on_0);

  // A new client is reported before any waiting bytes; untaken bytes come again.
  int c1b = connect_to(port_of(1));
  ASSERT_TRUE(wait_readable(server_of(1)->socket));
  ASSERT_EQ(net_server_poll(), NET_EVENT_CONNECT);
  EXPECT_EQ(net_event_connection()->server, server_of(1));
  ASSERT_EQ(net_server_poll(), NET_EVENT_DATA);
  EXPECT_EQ(net_event_connection(), newest_on_0);
  for (int fd : {cd, c1, c0, c0b, c1b}) close(fd);
}

TEST_F(ServerTest, FileOnlyForTheEightMagicLettersAndNoByteIsTaken) {
  ASSERT_NE(net_server_create_tcp(0, 0), 0);
  auto [client, conn] = accept_client(port_of(0));
  ASSERT_TRUE(send_all(client, "QUORV"));
  ASSERT_TRUE(wait_bytes(conn->socket, 5));
  EXPECT_EQ(net_server_poll(), NET_EVENT_DATA);  // the start of the magic is not enough
  ASSERT_TRUE(send_all(client, "ANT"));
  ASSERT_TRUE(wait_bytes(conn->socket, 8));
  EXPECT_EQ(net_server_poll(), NET_EVENT_FILE);
  EXPECT_EQ(net_server_poll(), NET_EVENT_FILE);
  EXPECT_EQ(bytes_waiting(conn->socket), 8);

  auto [client2, other] = accept_client(port_of(0));
  ASSERT_TRUE(send_all(client2, "QUORVANX"));
  ASSERT_TRUE(wait_bytes(other->socket, 8));
  EXPECT_EQ(net_server_poll(), NET_EVENT_DATA);
  EXPECT_EQ(net_event_connection(), other);
  char buf[8];
  EXPECT_EQ(net_peek(other->socket, 8, buf), 8);
  for (int fd : {client, client2}) close(fd);
}

TEST_F(ServerTest, ConnectThenCloseGivesConnectThenDisconnectAndTheRecordGoes) {
  ASSERT_NE(net_server_create_tcp(0, 0), 0);
  auto [client, conn] = accept_client(port_of(0));
  for (int fd : {conn->socket, server_of(0)->socket}) {
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK) << fd;
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << fd;
  }
  char buf[8];
  EXPECT_EQ(net_peek(conn->socket, 8, buf), 0);
  close(client);
  EXPECT_EQ(next_event(), NET_EVENT_DISCONNECT);
  EXPECT_EQ(net_event_connection(), conn);
  EXPECT_EQ(newest(0), nullptr);
  EXPECT_EQ(net_server_poll(), NET_EVENT_NONE);

  int reset = accept_client(port_of(0), &conn);  // a reset is closed too, but aborted
  linger hard{1, 0};
  setsockopt(reset, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(reset);
  net_server_wait(2000);
  EXPECT_EQ(net_server_poll(), NET_EVENT_ABORTED) << "at the first poll that sees it";
  EXPECT_EQ(newest(0), nullptr);

  int kept = accept_client(port_of(0), &conn);  // closed by us: no event follows
  net_connection_close(conn);
  EXPECT_EQ(newest(0), nullptr);
  EXPECT_EQ(read_until_close(kept, 2000), "");
  EXPECT_EQ(net_server_poll(), NET_EVENT_NONE);
  close(kept);
}

TEST_F(ServerTest, SocketsStayOffTheStandardStreamNumbers) {
  EXPECT_TRUE(in_child([] {
    for (int fd : {0, 1}) close(fd);
    int64_t sock = net_server_create_tcp(0, 0);
    int client = connect_to(port_of(0));
    return sock > 2 && client >= 0 && next_event() == NET_EVENT_CONNECT && net_event_connection()->socket > 2;
  }));
}

// Makes every later IPv6 socket of this process fail as on a system without IPv6.
bool deny_ipv6_sockets() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 5),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_socket, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_INET6, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAFNOSUPPORT),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0 && socket(AF_INET6, SOCK_STREAM, 0) == -1;
}

int family_of(int fd) {
  int family = -1;
  socklen_t length = sizeof family;
  getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &family, &length);
  return family;
}

// A TCP server takes IPv6 and IPv4 clients on one socket; without IPv6 it serves IPv4.
TEST_F(ServerTest, TcpServersTakeIpv6AndIpv4AndIpv4AloneWithoutIpv6) {
  ASSERT_NE(net_server_create_tcp(0, 0), 0);
  EXPECT_EQ(family_of(server_of(0)->socket), AF_INET6);
  EXPECT_TRUE(in_child([] {
    if (!deny_ipv6_sockets()) return false;
    int64_t sock = net_server_create_tcp(1, 0);
    int client = connect_to(port_of(1));
    return sock != 0 && family_of(server_of(1)->socket) == AF_INET && client >= 0 &&
           next_event() == NET_EVENT_CONNECT;
  }));
}

TEST_F(ServerTest, ReusedNumberClosesTheOldServerAndItsClientsEvenWhenCreationFails) {
  ASSERT_NE(net_server_create_tcp(0, 0), 0);
  uint16_t port = port_of(0);
  auto [client, conn] = accept_client(port);
  EXPECT_EQ(net_server_create_tcp(0, 65536), 0);
  EXPECT_EQ(server_of(0), nullptr);
  EXPECT_EQ(read_until_close(client, 2000), "");  // the client saw its connection end
  EXPECT_EQ(connect_to(port), -1);                // nothing listens any more
  EXPECT_EQ(net_server_poll(), NET_EVENT_NONE);
  close(client);

  // The port can be bound again at once although closed connections linger on it.
  ASSERT_NE(net_server_create_tcp(0, port), 0);
  int again = accept_client(port, &conn);
  ASSERT_NE(net_server_create_tcp(0, port), 0);
  EXPECT_EQ(read_until_close(again, 2000), "");
  EXPECT_EQ(port_of(0), port);
  close(again);
}

// A server that stops listening refuses new clients at once and keeps those it took; a
// client it took and closes unserved sees a reset, never an orderly end that a sender
// would take for its file stored.
TEST_F(ServerTest, StoppedListeningRefusesNewClientsAndUnservedOnesAreReset) {
  ASSERT_NE(net_server_create_tcp(0, 0), 0);
  uint16_t port = port_of(0);
  auto [client, conn] = accept_client(port);
  net_server_stop_listening(0);
  EXPECT_EQ(connect_to(port), -1);
  net_server_close(0);
  char byte = 0;
  EXPECT_EQ(recv(client, &byte, 1, 0), -1);
  EXPECT_EQ(errno, ECONNRESET);
  close(client);
}

TEST_F(ServerTest, PortRangeKindsAndDynamicNumbers) {
  EXPECT_NE(net_server_create(5, 0, NET_KIND_TCP), 0);  // port 0: the system picks one
  EXPECT_NE(port_of(5), 0);
  EXPECT_EQ(server_of(5)->address.family, 2);
  EXPECT_EQ(server_of(5)->address.address, 0u);
  EXPECT_EQ(net_server_create(6, 65536, NET_KIND_TCP), 0);
  EXPECT_EQ(net_server_create(7, 0, 3), 0);
  EXPECT_EQ(net_server_create(8, port_of(5), NET_KIND_TCP), 0);  // a second listener is refused
  EXPECT_EQ(net_server_create(REGISTRY_DYNAMIC, 70000, NET_KIND_TCP), 0);
  EXPECT_EQ(net_server_registry()->dynamic, nullptr);  // the failed element was given back

  int64_t dyn = net_server_create(REGISTRY_DYNAMIC, 0, NET_KIND_UDP);
  ASSERT_NE(dyn, 0);
  EXPECT_GE(dyn, net_server_registry()->capacity);
  EXPECT_EQ(server_of(dyn)->number, dyn);
  net_server_close(dyn);
  EXPECT_EQ(server_of(dyn), nullptr);
  net_server_close(dyn);  // no live server: nothing happens
  EXPECT_NE(server_of(5), nullptr);
}

TEST_F(ServerTest, UdpPeersAccumulateTheirDatagrams) {
  ASSERT_NE(net_server_create(0, 0, NET_KIND_UDP), 0);
  sockaddr_in to = loopback(port_of(0));
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
  EXPECT_EQ(std::string(reinterpret_cast<char*>(peer->data), static_cast<size_t>(peer->data_length)),
            "abcde");
  sockaddr_in mine{};
  socklen_t len = sizeof mine;
  getsockname(a, reinterpret_cast<sockaddr*>(&mine), &len);
  EXPECT_EQ(peer->socket, ntohs(mine.sin_port));
  EXPECT_EQ(peer->peer_address, htonl(INADDR_LOOPBACK));

  send_to(a, std::string(3000, 'L'));  // longer than a datagram may be: lost
  send_to(b, "z");                     // another port: another peer
  ASSERT_EQ(next_event(), NET_EVENT_DATA);
  NetConnection* second = net_event_connection();
  EXPECT_NE(second, peer);
  EXPECT_EQ(second->data_length, 1);
  EXPECT_EQ(peer->data_length, 5);
  EXPECT_EQ(net_server_poll(), NET_EVENT_NONE);  // both datagrams were taken: nothing more comes
  net_connection_close(second);
  EXPECT_EQ(newest(0), peer);
  for (int fd : {a, b}) close(fd);
}

TEST_F(ServerTest, WaitWakesForAClientOrBytesAndOtherwiseTimesOut) {
  EXPECT_EQ(net_server_wait(20), 0);  // no servers
  ASSERT_NE(net_server_create_tcp(0, 0), 0);
  EXPECT_EQ(net_server_wait(30), 0);
  int client = connect_to(port_of(0));
  EXPECT_EQ(net_server_wait(2000), 1);
  ASSERT_EQ(net_server_poll(), NET_EVENT_CONNECT);
  EXPECT_EQ(net_server_wait(30), 0);
  send_all(client, "hi");
  EXPECT_EQ(net_server_wait(2000), 1);
  close(client);
}

TEST_F(ServerTest, ShutdownOnAnotherThreadWhilePollingIsHarmless) {
  ASSERT_NE(net_server_create_tcp(0, 0), 0);
  auto [client, conn] = accept_client(port_of(0));
  send_all(client, "data");
  std::atomic<bool> done{false};
  std::atomic<int> polls{0};
  std::thread closer([&] {
    for (int64_t end = now_ms() + 2000; polls < 100 && now_ms() < end;) std::this_thread::yield();
    net_shutdown();
    done = true;
  });
  for (int64_t end = now_ms() + 5000; !done && now_ms() < end; ++polls) net_server_poll();
  closer.join();
  EXPECT_EQ(net_server_poll(), NET_EVENT_NONE);
  EXPECT_EQ(net_server_wait(10), 0);
  EXPECT_EQ(net_server_create_tcp(1, 0), 0);
  net_connection_close(conn);  // already gone with its server: ignored
  EXPECT_EQ(read_until_close(client, 2000), "");
  close(client);
}

// The allow rules: a client from outside them is reset before it counts as a connection
// (no event, no record); once a rule names it, it is taken. Malformed rules add nothing.
TEST_F(ServerTest, AllowRulesResetOtherClientsAtOnceAndTakeTheNamedOnes) {
  for (const char* bad : {"", "10.0.0.0/33", "::1/129", "1.2.3.4/", "1.2.3.4/x", "rechner.example", "1.2.3.4/8/8"})
    EXPECT_FALSE(net_allow_add(bad)) << bad;
  ASSERT_NE(net_server_create_tcp(0, 0), 0);
  ASSERT_TRUE(net_allow_add("10.0.0.0/8"));
  ASSERT_TRUE(net_allow_add("[::ffff:127.0.0.1]"));  // IPv6 rules never match an IPv4 peer
  ASSERT_TRUE(net_allow_add("127.0.0.2/31"));  // 127.0.0.2 and .3
  int kept_out = connect_to(port_of(0));
  ASSERT_TRUE(wait_readable(server_of(0)->socket));
  EXPECT_EQ(net_server_poll(), NET_EVENT_NONE);
  EXPECT_EQ(server_of(0)->connections, nullptr);
  ASSERT_TRUE(wait_readable(kept_out));
  char byte;
  EXPECT_EQ(recv(kept_out, &byte, 1, 0), -1);
  EXPECT_EQ(errno, ECONNRESET);
  ASSERT_TRUE(net_allow_add("127.0.0.0/31"));
  int let_in = connect_to(port_of(0));
  EXPECT_EQ(next_event(), NET_EVENT_CONNECT);
  net_allow_clear();
  for (int fd : {kept_out, let_in}) close(fd);
}

// Which of this machine's addresses are shown, and in which group.
TEST(LocalAddresses, LoopbackAndLinkLocalAreLeftOutPrivateOnesComeFirst) {
  const std::pair<const char*, int> cases[] = {
      {"127.0.0.1", -1}, {"169.254.3.4", -1}, {"0.0.0.0", -1}, {"224.0.0.251", -1}, {"::1", -1}, {"fe80::1", -1},
      {"::", -1}, {"10.1.2.3", LOCAL_ADDRESS_PRIVATE}, {"172.31.0.1", LOCAL_ADDRESS_PRIVATE},
      {"172.32.0.1", LOCAL_ADDRESS_OTHER}, {"192.168.1.20", LOCAL_ADDRESS_PRIVATE}, {"8.8.4.4", LOCAL_ADDRESS_OTHER},
      {"fd00::14", LOCAL_ADDRESS_OTHER}};
  for (const auto& [text, kind] : cases) {
    SockPeer a;
    ASSERT_TRUE(sock_parse_address(text, &a)) << text;
    EXPECT_EQ(local_address_kind(a, false), kind) << text;
    EXPECT_EQ(local_address_kind(a, true), kind < 0 ? -1 : LOCAL_ADDRESS_VIRTUAL) << text;
    EXPECT_EQ(sock_address_text(a), text);
  }
  EXPECT_TRUE(local_interface_is_virtual("tun0"));
  EXPECT_TRUE(local_interface_is_virtual("docker0"));
  EXPECT_FALSE(local_interface_is_virtual("eth0"));
  EXPECT_FALSE(local_interface_is_virtual("wlp2s0"));
}

}  // namespace
