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

// Outgoing connections, guarded by the server registry's lock.
ListNode** net_outgoing_list();
bool net_is_outgoing(const NetConnection* connection);

// Frees a UDP peer's accumulated bytes.
void net_connection_free_data(NetConnection* connection);
