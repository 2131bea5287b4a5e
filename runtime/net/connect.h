// Outgoing connections: from this program to a host and port. No server and no registry
// holds them; their creator closes them with net_connection_close.
#pragma once
#include <cstdint>

#include "net/server.h"

// Connects to host (a dotted IPv4 address, or a host name whose first IPv4 address is
// used; failing those, an IPv6 address, bracketed or not, or the first IPv6 address of a
// name that has no IPv4 one) on the low 16 bits of port. NET_KIND_TCP waits for the
// outcome, at most the connect limit for an answer, and gives a blocking socket; any other
// kind makes a non-blocking UDP socket that only remembers where datagrams go (IPv4
// only). Returns null on any failure, with no socket left open.
NetConnection* net_connect(const char* host, uint32_t port, int32_t kind);
NetConnection* net_connect_tcp(const char* host, uint32_t port);

// How long the look-up of the host and a TCP connect wait for an answer, together: a name
// whose name servers are silent and an address that drops every packet are given up
// after it, not after the system's many seconds or two minutes and more. One that
// refuses fails at once.
constexpr uint32_t NET_CONNECT_LIMIT_MS = 20000;

// Replaces the limit (0 brings back NET_CONNECT_LIMIT_MS), so tests need not wait it out.
void net_set_connect_limit(uint32_t ms);

// Told about every quarter of a second while the look-up or a TCP connect waits for an
// answer: the milliseconds waited so far and the limit. ctx is what was given with it.
using NetConnectProgressFn = void (*)(uint32_t waited_ms, uint32_t limit_ms, void* ctx);

// Sets the process-wide connect progress function (null: none), for the next connects.
void net_set_connect_progress(NetConnectProgressFn fn, void* ctx);

// Why the last net_connect on this thread made no connection, where it can be told.
constexpr int32_t NET_CONNECT_FAILED = 0;        // anything else (no socket, no memory, ...)
constexpr int32_t NET_CONNECT_REFUSED = 1;       // the host answered: nothing listens on that port
constexpr int32_t NET_CONNECT_NO_ANSWER = 2;     // no answer within the limit, or the host is unreachable
constexpr int32_t NET_CONNECT_UNKNOWN_NAME = 3;  // the name service knows no such name
constexpr int32_t NET_CONNECT_NO_NETWORK = 4;    // no route from here to that network
int32_t net_connect_failure();
