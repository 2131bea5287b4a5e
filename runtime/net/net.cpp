#include "net/net.h"

#include <atomic>
#include <mutex>

#include "core/heaps.h"
#include "net/internal.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace {

std::atomic<ObjectRegistry*> g_registry{nullptr};
std::atomic<bool> g_stopped{true};
std::atomic<int32_t> g_socket_layer_started{0};
std::atomic<int32_t> g_transfers{0};
ListNode* g_outgoing = nullptr;

// How long net_shutdown waits for a transfer on another thread to give up and clean up.
constexpr int kTransferDrainSteps = 200;
constexpr uint32_t kTransferDrainStepMs = 5;

}  // namespace

bool net_stopped() { return g_stopped.load(); }

ObjectRegistry* net_server_registry() { return g_registry.load(); }

ListNode** net_outgoing_list() { return &g_outgoing; }

bool net_is_outgoing(const NetConnection* connection) {
  for (ListNode* n = g_outgoing; n; n = n->next)
    if (list_payload(n) == connection) return true;
  return false;
}

int net_transfer_begin(NetConnection* connection) {
  ObjectRegistry* registry = g_registry.load();
  if (!registry || !connection) return -1;
  std::lock_guard<std::recursive_mutex> hold(registry->lock);
  if (g_stopped.load() || connection->kind != NET_KIND_TCP) return -1;
  // Accepted clients may have taken every other descriptor: the spare ones are this
  // transfer's while it runs.
  sock_spare_lend();
  int fd = sock_dup(connection->socket);
  if (fd < 0) {
    sock_spare_take_back();
    return -1;
  }
  g_transfers.fetch_add(1);
  return fd;
}

void net_transfer_end(int fd) {
  sock_close(fd);
  sock_spare_take_back();
  g_transfers.fetch_sub(1);
}

void net_connection_free_data(NetConnection* connection) {
  rt_free(connection->data);
  connection->data = nullptr;
  connection->data_length = 0;
}

int32_t net_init() {
  // Linux has no socket layer to start; what stands in for it is that a send on a closed
  // connection returns an error instead of ending the process.
  sock_ignore_broken_pipe();
  g_socket_layer_started.store(1);
  ObjectRegistry* registry = registry_create(sizeof(NetServer), 16, net_server_close);
  g_outgoing = nullptr;
  g_registry.store(registry);
  g_stopped.store(registry == nullptr);
  return registry ? 1 : 0;
}

void net_shutdown() {
  if (ObjectRegistry* registry = g_registry.load()) {
    registry_iter_begin(registry);
    g_stopped.store(true);
    int64_t number = 0;
    while (registry_iter_next(registry, &number)) net_server_close(number);
  }
  g_stopped.store(true);
  g_socket_layer_started.store(0);
  sock_spare_drop();
  for (int i = 0; i < kTransferDrainSteps && g_transfers.load() > 0; ++i) clock_sleep_ms(kTransferDrainStepMs);
}
