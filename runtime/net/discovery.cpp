#include "net/discovery.h"

#include <atomic>
#include <cctype>
#include <cstdlib>

#include "core/fatal.h"
#include "net/internal.h"
#include "platform/addresses.h"

namespace {
std::atomic<bool> g_hook_set{false};

bool same_start(const std::string& name, const std::string& typed) {
  if (typed.size() > name.size()) return false;
  for (size_t i = 0; i < typed.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(name[i])) != std::tolower(static_cast<unsigned char>(typed[i])))
      return false;
  return true;
}
}  // namespace

std::vector<std::string> net_reachable_names() {
  std::vector<std::string> names;
  std::vector<LocalAddress> addresses = local_addresses();
  auto add_kind = [&](int kind, const char* mark) {
    for (const LocalAddress& a : addresses)
      if (a.kind == kind) names.push_back(a.text + mark);
  };
  add_kind(LOCAL_ADDRESS_PRIVATE, "");
  std::string local = discovery_local_name();
  if (!local.empty()) names.push_back(local);
  std::string host = local_host_name();
  if (!host.empty() && host != local) names.push_back(host);
  add_kind(LOCAL_ADDRESS_OTHER, "");
  add_kind(LOCAL_ADDRESS_VIRTUAL, " (VPN/virtuell)");
  return names;
}

void net_announce(uint32_t port) {
  if (!g_hook_set.exchange(true)) runtime_on_exit(net_withdraw);
  std::string name = local_host_name();
  discovery_announce(name.empty() ? "Kelvane" : name.c_str(), static_cast<uint16_t>(port));
}

void net_withdraw() { discovery_withdraw(); }

void net_browse() { discovery_browse(); }

bool net_browse_pick(const char* typed, DiscoveredService* found) {
  if (!typed || !*typed) return false;
  std::vector<DiscoveredService> services = discovery_found();
  SockPeer address;
  if (sock_parse_address(typed, &address)) return false;  // an address means itself
  std::string text(typed);
  if (text.find_first_not_of("0123456789") == std::string::npos) {
    unsigned long number = text.size() <= 3 ? std::strtoul(typed, nullptr, 10) : 0;
    if (number < 1 || number > services.size()) return false;
    *found = services[number - 1];
    return true;
  }
  const DiscoveredService* only = nullptr;
  int starts = 0;
  for (const DiscoveredService& s : services) {
    if (s.instance == text) {
      *found = s;
      return true;
    }
    if (same_start(s.instance, text)) {
      only = &s;
      ++starts;
    }
  }
  if (starts != 1) return false;
  *found = *only;
  return true;
}

std::string net_connection_peer(const NetConnection* connection, int timeout_ms) {
  SockPeer peer;
  if (!connection || connection->kind != NET_KIND_TCP ||
      !sock_peer_of(net_socket_of(connection->socket), &peer))
    return std::string();
  std::string text = sock_address_text(peer);
  std::string name = sock_reverse_name(peer, timeout_ms);
  if (!name.empty() && name != text) text += " (" + name + ")";
  return text;
}
