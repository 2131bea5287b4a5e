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

// Closes every server with its connections and stops the library; operations then fail or
// report nothing. The main flow's, at its exit: no transfer runs then. A poll on another
// thread meanwhile finds the servers whole or gone (the registry's lock).
void net_shutdown();

// The registry of servers; null before net_init.
ObjectRegistry* net_server_registry();
