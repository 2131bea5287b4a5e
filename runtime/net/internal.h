// State the parts of the network library share; not for programs.
#pragma once
#include <cstdint>

#include "net/registry.h"
#include "net/server.h"
#include "platform/descriptors.h"

// True before net_init and after net_shutdown: operations then fail or report nothing.
bool net_stopped();

// net_init hands over the new registry (null: the library stays stopped) / net_shutdown
// marks the library stopped.
void net_state_start(ObjectRegistry* registry);
void net_state_stop();

// Outgoing connections, guarded by the server registry's lock.
ListNode** net_outgoing_list();
bool net_is_outgoing(const NetConnection* connection);

// The records keep a socket as a plain 32-bit word: the registry reads a server's as its
// liveness, and a UDP peer's holds its port instead. A socket crosses between the records
// and the platform here alone.
inline SockFd net_socket_of(int32_t word) { return SockFd{word}; }
inline int32_t net_socket_word(SockFd socket) { return static_cast<int32_t>(socket); }
static_assert(SockFd{NET_NOT_LISTENING} == SOCK_NONE, "closing a stopped server's word closes nothing");

// Frees a UDP peer's accumulated bytes.
void net_connection_free_data(NetConnection* connection);
