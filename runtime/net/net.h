// The network library: start and stop, servers and their events, outgoing connections
// and the file transfer. Programs include this header only.
#pragma once
#include <cstdint>

#include "net/connect.h"
#include "net/registry.h"
#include "net/server.h"
#include "net/transfer.h"

// Starts the socket layer and makes the server registry. Returns 1 when the library is
// ready, 0 when it is not.
int32_t net_init();

// Closes every server with its connections and stops the library. May run on another
// thread while the main thread polls or receives: that thread then gets NET_EVENT_NONE or
// failures, and a reception in progress gives up and removes its temporary file before
// this returns (it waits at most about a second for that).
void net_shutdown();

// The registry of servers; null before net_init.
ObjectRegistry* net_server_registry();
