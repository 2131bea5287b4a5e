#include "net/internal.h"

#include <atomic>

#include "core/heaps.h"
#include "net/net.h"

namespace {
std::atomic<ObjectRegistry*> g_registry{nullptr};
std::atomic<bool> g_stopped{true};
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

ListNode** net_outgoing_list() { return &g_outgoing; }

bool net_is_outgoing(const NetConnection* connection) {
  for (ListNode* n = g_outgoing; n; n = n->next)
    if (list_payload(n) == connection) return true;
  return false;
}

void net_connection_free_data(NetConnection* connection) {
  rt_free(connection->data);
  connection->data = nullptr;
  connection->data_length = 0;
}
