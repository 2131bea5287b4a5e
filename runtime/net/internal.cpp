#include "net/internal.h"

#include <atomic>
#include <mutex>

#include "core/heaps.h"
#include "net/net.h"
#include "platform/socket.h"

namespace {
std::atomic<ObjectRegistry*> g_registry{nullptr};
std::atomic<bool> g_stopped{true};
std::atomic<int32_t> g_transfers{0};
ListNode* g_outgoing = nullptr;
}  // namespace

ObjectRegistry* net_server_registry() { return g_registry.load(); }

bool net_stopped() { return g_stopped.load(); }

void net_state_start(ObjectRegistry* registry) {
  g_outgoing = nullptr;
  g_registry.store(registry);
  g_stopped.store(registry == nullptr);
}

void net_state_stop() { g_stopped.store(true); }

int32_t net_transfers_running() { return g_transfers.load(); }

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
  int fd = sock_dup(connection->socket);
  if (fd >= 0) g_transfers.fetch_add(1);
  return fd;
}

void net_transfer_end(int fd) {
  sock_close(fd);
  g_transfers.fetch_sub(1);
}

void net_connection_free_data(NetConnection* connection) {
  rt_free(connection->data);
  connection->data = nullptr;
  connection->data_length = 0;
}
