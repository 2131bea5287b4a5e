#include "net/connect.h"

#include <mutex>

#include "net/internal.h"
#include "net/net.h"
#include "platform/socket.h"

NetConnection* net_connect(const char* host, uint32_t port, int32_t kind) {
  ObjectRegistry* registry = net_server_registry();
  if (!host || !registry || net_stopped()) return nullptr;
  // The look-up and the connect may take long: no lock is held for them.
  SockPeer peer;
  if (!sock_resolve(host, &peer)) return nullptr;
  bool tcp = kind == NET_KIND_TCP;
  if (!tcp && peer.ipv6) return nullptr;  // a UDP record holds an IPv4 address only
  int fd = sock_open_for(peer, tcp ? SOCK_KIND_STREAM : SOCK_KIND_DATAGRAM);
  if (fd < 0) return nullptr;
  bool ready = tcp ? sock_connect(fd, peer, static_cast<uint16_t>(port)) : sock_set_nonblocking(fd);
  if (!ready) {
    sock_close(fd);
    return nullptr;
  }
  std::lock_guard<std::recursive_mutex> hold(registry->lock);
  auto* connection =
      net_stopped()
          ? nullptr
          : static_cast<NetConnection*>(list_insert(
                net_outgoing_list(), static_cast<int32_t>(sizeof(ListNode) + sizeof(NetConnection))));
  if (!connection) {
    sock_close(fd);
    return nullptr;
  }
  if (tcp)
    *connection = NetConnection{NET_KIND_TCP, 0, fd, nullptr, 0, nullptr, 0};
  else
    *connection = NetConnection{NET_KIND_UDP, peer.ipv4, static_cast<int32_t>(port), nullptr, fd, nullptr, 0};
  return connection;
}

NetConnection* net_connect_tcp(const char* host, uint32_t port) {
  return net_connect(host, port, NET_KIND_TCP);
}
