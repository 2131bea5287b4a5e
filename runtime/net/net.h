// Start and stop of the socket layer.
#pragma once
#include <cstdint>

// Starts the socket layer and makes the server registry. Returns 1 when the socket layer
// started, 0 when it did not (the registry is made either way).
int32_t net_init();

// Closes every server with its connections and stops the socket layer.
void net_shutdown();
