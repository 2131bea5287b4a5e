#include <gtest/gtest.h>

#include "net/net.h"
#include "net_test_support.h"

using namespace nettest;

namespace {

class ConnectTest : public NetTest {};

TEST_F(ConnectTest, TcpConnectionToADottedAddressOrANameIsBlockingAndServerless) {
  ASSERT_NE(net_server_create_tcp(0, 0), 0);
  uint16_t port = port_of(0);
  for (const char* host : {"127.0.0.1", "localhost"}) {
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

TEST_F(ConnectTest, PortAbove65535UsesItsLow16Bits) {
  ASSERT_NE(net_server_create_tcp(0, 0), 0);
  NetConnection* c = net_connect_tcp("127.0.0.1", port_of(0) + 65536u);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(next_event(), NET_EVENT_CONNECT);
  net_connection_close(c);
}

TEST_F(ConnectTest, FailuresReturnNullAndLeaveNoDescriptorOpen) {
  int before = open_descriptor_count();
  EXPECT_EQ(net_connect_tcp(nullptr, 80), nullptr);
  EXPECT_EQ(net_connect_tcp("127.0.0.1", unused_port()), nullptr);  // refused
  EXPECT_EQ(net_connect_tcp("", 80), nullptr);
  EXPECT_EQ(net_connect_tcp("no-such-host.invalid", 80), nullptr);
  // All ones is not taken as an address; looked up as a name it stays all ones.
  EXPECT_EQ(net_connect_tcp("255.255.255.255", 80), nullptr);
  EXPECT_EQ(net_connect("255.255.255.255", 80, NET_KIND_UDP), nullptr);
  EXPECT_EQ(open_descriptor_count(), before);
}

TEST_F(ConnectTest, UdpConnectionOnlyRemembersWhereDatagramsGo) {
  int before = open_descriptor_count();
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
  EXPECT_EQ(open_descriptor_count(), before);
}

TEST_F(ConnectTest, OutgoingConnectionsOutliveShutdownAndCanStillBeClosed) {
  ASSERT_NE(net_server_create_tcp(0, 0), 0);
  uint16_t port = port_of(0);
  int before = open_descriptor_count();
  NetConnection* c = net_connect_tcp("127.0.0.1", port);
  ASSERT_NE(c, nullptr);
  net_shutdown();
  EXPECT_EQ(net_connect_tcp("127.0.0.1", port), nullptr);  // the library is stopped
  net_connection_close(c);
  EXPECT_LE(open_descriptor_count(), before - 1);  // the server's socket went too
}

}  // namespace
