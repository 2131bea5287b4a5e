// What both systems share of addresses as people see them.
#include "platform/addresses.h"

#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/common/fd.h"
#include "platform/common/system_net.h"

namespace {

// A reverse look-up's outcome, shared with the thread that makes it: whoever is last
// frees it, so a look-up that outlives its wait ends on its own.
struct ReverseLookUp {
  std::mutex lock;
  std::condition_variable done_signal;
  bool done = false;
  std::string name;
};

}  // namespace

int local_address_kind(const SockPeer& a, bool virtual_adapter) {
  if (!a.ipv6) {
    uint8_t b[4];
    std::memcpy(b, &a.ipv4, 4);
    if (b[0] == 127 || b[0] == 0 || (b[0] == 169 && b[1] == 254) || b[0] >= 224) return -1;
    if (virtual_adapter) return LOCAL_ADDRESS_VIRTUAL;
    bool is_private = b[0] == 10 || (b[0] == 172 && (b[1] & 0xf0) == 16) || (b[0] == 192 && b[1] == 168);
    return is_private ? LOCAL_ADDRESS_PRIVATE : LOCAL_ADDRESS_OTHER;
  }
  const uint8_t* b = a.ipv6_bytes;
  static const uint8_t kZero[16] = {};
  bool loopback = std::memcmp(b, kZero, 15) == 0 && b[15] == 1;
  bool unspecified = std::memcmp(b, kZero, 16) == 0;
  bool link_local = b[0] == 0xfe && (b[1] & 0xc0) == 0x80;
  if (loopback || unspecified || link_local || b[0] == 0xff) return -1;
  return virtual_adapter ? LOCAL_ADDRESS_VIRTUAL : LOCAL_ADDRESS_OTHER;
}

bool local_interface_is_virtual(const char* name) {
  static const char* const kPrefixes[] = {"tun",    "tap",     "wg",   "ppp",  "tailscale", "zt",    "utun",
                                          "docker", "virbr",   "br-",  "vmnet", "vboxnet",  "veth",  "lxcbr",
                                          "lxdbr",  "podman",  "cni",  "flannel", "vEthernet", "VMware", "VirtualBox",
                                          "Hyper-V", "OpenVPN", "TAP-", "WireGuard"};
  for (const char* prefix : kPrefixes)
    if (std::strncmp(name, prefix, std::strlen(prefix)) == 0) return true;
  return false;
}

std::string local_host_name() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return std::string();
  return name;
}

bool sock_peer_of(SockFd fd, SockPeer* peer) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getpeername(static_cast<decltype(socket(0, 0, 0))>(sys_fd(fd)), reinterpret_cast<sockaddr*>(&address),
                  &length) != 0)
    return false;
  *peer = SockPeer{};
  if (address.ss_family == AF_INET) {
    peer->ipv4 = reinterpret_cast<sockaddr_in*>(&address)->sin_addr.s_addr;
    return true;
  }
  if (address.ss_family != AF_INET6) return false;
  auto* sa = reinterpret_cast<sockaddr_in6*>(&address);
  static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (std::memcmp(&sa->sin6_addr, kMapped, sizeof kMapped) == 0) {
    std::memcpy(&peer->ipv4, reinterpret_cast<uint8_t*>(&sa->sin6_addr) + 12, 4);
    return true;
  }
  peer->ipv6 = true;
  std::memcpy(peer->ipv6_bytes, &sa->sin6_addr, sizeof peer->ipv6_bytes);
  peer->scope = sa->sin6_scope_id;
  return true;
}

std::string sock_address_text(const SockPeer& peer) {
  char text[INET6_ADDRSTRLEN] = {};
  if (peer.ipv6)
    inet_ntop(AF_INET6, peer.ipv6_bytes, text, sizeof text);
  else
    inet_ntop(AF_INET, &peer.ipv4, text, sizeof text);
  return text;
}

bool sock_parse_address(const char* text, SockPeer* peer) {
  *peer = SockPeer{};
  if (inet_pton(AF_INET, text, &peer->ipv4) == 1) return true;
  peer->ipv6 = true;
  return inet_pton(AF_INET6, text, peer->ipv6_bytes) == 1;
}

std::string sock_reverse_name(const SockPeer& peer, int timeout_ms) {
  auto look_up = std::make_shared<ReverseLookUp>();
  try {
    std::thread([look_up, peer] {
      sockaddr_storage address{};
      socklen_t length = sock_peer_address(peer, 0, &address);
      char host[NI_MAXHOST] = {};
      bool found = getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, nullptr, 0,
                               NI_NAMEREQD) == 0;
      std::lock_guard<std::mutex> hold(look_up->lock);
      if (found) look_up->name = host;
      look_up->done = true;
      look_up->done_signal.notify_all();
    }).detach();
  } catch (...) {
    return std::string();  // no thread to be had: no name
  }
  std::unique_lock<std::mutex> hold(look_up->lock);
  look_up->done_signal.wait_for(hold, std::chrono::milliseconds(timeout_ms), [&] { return look_up->done; });
  return look_up->done ? look_up->name : std::string();
}
