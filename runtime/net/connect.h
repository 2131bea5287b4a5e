// Outgoing connections: from this program to a host and port. No server and no registry
// holds them; their creator closes them with net_connection_close.
#pragma once
#include <cstdint>

#include "net/server.h"

// Connects to host (a dotted IPv4 address, or a host name whose first IPv4 address is
// used; failing those, an IPv6 address, bracketed or not, or the first IPv6 address of a
// name that has no IPv4 one) on the low 16 bits of port. NET_KIND_TCP connects in blocking
// mode and waits for the outcome; any other kind makes a non-blocking UDP socket that only
// remembers where datagrams go (IPv4 only). Returns null on any failure, with no socket
// left open.
NetConnection* net_connect(const char* host, uint32_t port, int32_t kind);
NetConnection* net_connect_tcp(const char* host, uint32_t port);
