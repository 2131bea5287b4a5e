#include "net/net.h"

#include "net/internal.h"
#include "platform/socket.h"

int32_t net_init() {
  // Linux has no socket layer to start; what stands in for it is that a send on a closed
  // connection returns an error instead of ending the process.
  sock_survive_closed_peers();
  net_transfer_watch_temp_files();
  ObjectRegistry* registry = registry_create(sizeof(NetServer), 16, net_server_close);
  net_state_start(registry);
  return registry ? 1 : 0;
}

void net_shutdown() {
  if (ObjectRegistry* registry = net_server_registry()) {
    registry_iter_begin(registry);
    net_state_stop();
    int64_t number = 0;
    while (registry_iter_next(registry, &number)) net_server_close(number);
  }
  net_state_stop();
}
