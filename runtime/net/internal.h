// State the parts of the network library share; not for programs.
#pragma once
#include <cstdint>

#include "net/registry.h"
#include "net/server.h"

// True before net_init and after net_shutdown: operations then fail or report nothing.
bool net_stopped();

// net_init hands over the new registry (null: the library stays stopped) / net_shutdown
// marks the library stopped.
void net_state_start(ObjectRegistry* registry);
void net_state_stop();

// Transfers between net_transfer_begin and net_transfer_end right now.
int32_t net_transfers_running();

// Outgoing connections, guarded by the server registry's lock.
ListNode** net_outgoing_list();
bool net_is_outgoing(const NetConnection* connection);

// Starts a transfer on a TCP connection: under the registry's lock, checks that the
// library runs and the connection is TCP, and returns a descriptor of its own for the
// connection's socket, so a shutdown on another thread never leaves it a closed or reused
// number. Returns -1 when the transfer may not start. Every success is paired with
// net_transfer_end.
int net_transfer_begin(NetConnection* connection);
void net_transfer_end(int fd);

// Frees a UDP peer's accumulated bytes.
void net_connection_free_data(NetConnection* connection);
