#include "net/allow.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/addresses.h"

namespace {

struct AllowRule {
  SockPeer address;
  int prefix;
};

std::mutex g_lock;
std::vector<AllowRule> g_rules;

// True when the first bits of the two byte strings are the same.
bool same_prefix(const uint8_t* a, const uint8_t* b, int bits) {
  int whole = bits / 8;
  if (std::memcmp(a, b, static_cast<size_t>(whole)) != 0) return false;
  int rest = bits % 8;
  if (rest == 0) return true;
  auto mask = static_cast<uint8_t>(0xff << (8 - rest));
  return (a[whole] & mask) == (b[whole] & mask);
}

bool matches(const AllowRule& rule, const SockPeer& peer) {
  if (rule.address.ipv6 != peer.ipv6) return false;
  if (peer.ipv6) return same_prefix(rule.address.ipv6_bytes, peer.ipv6_bytes, rule.prefix);
  return same_prefix(reinterpret_cast<const uint8_t*>(&rule.address.ipv4),
                     reinterpret_cast<const uint8_t*>(&peer.ipv4), rule.prefix);
}

}  // namespace

bool net_allow_add(const char* rule) {
  if (!rule) return false;
  std::string text(rule);
  AllowRule parsed{};
  auto slash = text.find('/');
  std::string address = text.substr(0, slash);
  if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
    address = address.substr(1, address.size() - 2);
  if (!sock_parse_address(address.c_str(), &parsed.address)) return false;
  int most = parsed.address.ipv6 ? 128 : 32;
  parsed.prefix = most;
  if (slash != std::string::npos) {
    std::string bits = text.substr(slash + 1);
    if (bits.empty() || bits.size() > 3 || bits.find_first_not_of("0123456789") != std::string::npos) return false;
    parsed.prefix = std::atoi(bits.c_str());
    if (parsed.prefix > most) return false;
  }
  std::lock_guard<std::mutex> hold(g_lock);
  g_rules.push_back(parsed);
  return true;
}

void net_allow_clear() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_rules.clear();
}

bool net_allow_admits(SockFd socket) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_rules.empty()) return true;
  SockPeer peer;
  if (!sock_peer_of(socket, &peer)) return false;
  for (const AllowRule& rule : g_rules)
    if (matches(rule, peer)) return true;
  return false;
}
