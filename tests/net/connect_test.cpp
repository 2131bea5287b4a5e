#include <net/if.h>


#include "net_test_support.h"

using namespace nettest;

namespace {

int open_descriptors() {
  auto it = std::filesystem::directory_iterator("/proc/self/fd");
  return static_cast<int>(std::distance(begin(it), end(it)));
}

class ConnectTest : public NetTest {};

TEST_F(ConnectTest, TcpConnectionToAnAddressOrANameIsBlockingAndServerless) {
  ASSERT_NE(net_server_create_tcp(0, 0), 0);
  for (const char* host : {"127.0.0.1", "localhost", "::1", "[::1]"}) {
    for (uint32_t port : {uint32_t{port_of(0)}, port_of(0) + 65536u}) {  // only the low 16 bits count
      NetConnection* c = net_connect_tcp(host, port);
      ASSERT_NE(c, nullptr) << host;
      EXPECT_EQ(c->kind, NET_KIND_TCP);
      EXPECT_EQ(c->server, nullptr);
      EXPECT_GT(c->socket, 2);
      EXPECT_FALSE(fcntl(c->socket, F_GETFL) & O_NONBLOCK);
      EXPECT_TRUE(fcntl(c->socket, F_GETFD) & FD_CLOEXEC);
      EXPECT_EQ(next_event(), NET_EVENT_CONNECT);
      NetConnection* accepted = net_event_connection();
      net_connection_close(c);
      EXPECT_EQ(next_event(), NET_EVENT_DISCONNECT);
      EXPECT_EQ(net_event_connection(), accepted);
    }
  }
}

TEST_F(ConnectTest, FailuresReturnNullAndLeaveNoDescriptorOpen) {
  auto refused = static_cast<uint32_t>(free_port());  // its claim is a descriptor of its own
  int before = open_descriptors();
  EXPECT_EQ(net_connect_tcp(nullptr, 80), nullptr);
  EXPECT_EQ(net_connect_tcp("127.0.0.1", refused), nullptr);
  // All ones is no address (as a name it stays all ones); brackets hold IPv6 only; UDP
  // records hold no IPv6.
  for (const char* host : {"", "no-such-host.invalid", "255.255.255.255", "[127.0.0.1]", "[localhost]"})
    EXPECT_EQ(net_connect_tcp(host, 80), nullptr) << host;
  EXPECT_EQ(net_connect("255.255.255.255", 80, NET_KIND_UDP), nullptr);
  EXPECT_EQ(net_connect("::1", 80, NET_KIND_UDP), nullptr);
  EXPECT_EQ(open_descriptors(), before);
}

// A link-local address keeps the interface named after '%': without it the system refuses
// the address at once (EINVAL); with it, the loopback interface has no such neighbour.
TEST(ConnectScope, LinkLocalAddressKeepsItsInterface) {
  for (const char* host : {"fe80::1%lo", "[fe80::1%lo]"}) {
    SockPeer peer;
    ASSERT_TRUE(sock_resolve(host, &peer)) << host;
    EXPECT_EQ(peer.scope, if_nametoindex("lo")) << host;
    SockFd fd = sock_open_for(peer, SOCK_KIND_STREAM);
    ASSERT_NE(fd, SOCK_NONE);
    int made = sock_connect_start(fd, peer, 9);
    if (made == 0) made = sock_connect_wait(fd, 1000);
    EXPECT_NE(made, 1);
    EXPECT_TRUE(made >= 0 || errno != EINVAL) << host << ": the interface was lost on the way";
    sock_close(fd);
  }
}

TEST_F(ConnectTest, UdpConnectionOnlyRemembersWhereDatagramsGo) {
  int before = open_descriptors();
  NetConnection* c = net_connect("127.0.0.2", 70000, 7);  // any kind but TCP is UDP
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->kind, NET_KIND_UDP);
  EXPECT_EQ(c->socket, 70000);  // the port as given
  EXPECT_EQ(c->peer_address, htonl(0x7f000002));
  EXPECT_EQ(c->server, nullptr);
  EXPECT_TRUE(fcntl(c->udp_socket, F_GETFL) & O_NONBLOCK);
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  EXPECT_EQ(getpeername(c->udp_socket, reinterpret_cast<sockaddr*>(&peer), &len), -1);  // not connected
  net_connection_close(c);
  EXPECT_EQ(open_descriptors(), before);
}

TEST_F(ConnectTest, OutgoingConnectionsOutliveShutdownAndCanStillBeClosed) {
  int before = open_descriptors();
  ASSERT_NE(net_server_create_tcp(0, 0), 0);
  uint16_t port = port_of(0);
  NetConnection* c = net_connect_tcp("127.0.0.1", port);
  ASSERT_NE(c, nullptr);
  net_shutdown();
  EXPECT_EQ(net_connect_tcp("127.0.0.1", port), nullptr);  // the library is stopped
  net_connection_close(c);
  EXPECT_EQ(open_descriptors(), before);  // the server's socket and its spare descriptors went too
}

}  // namespace
