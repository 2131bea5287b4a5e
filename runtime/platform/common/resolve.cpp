// Where a connection goes, the same way on every system: a dotted IPv4 address as it is,
// else the system's name service; and the system's form of that address.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "platform/socket.h"
#include "platform/common/system_net.h"

namespace {

// The first address of family that a look-up of name gives, into *peer. numeric: name
// must be an address, no name service is asked. Returns false when there is none.
bool look_up(const std::string& name, int family, bool numeric, SockPeer* peer) {
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = numeric ? AI_NUMERICHOST : 0;
  addrinfo* found = nullptr;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
  *peer = SockPeer{};
  if (family == AF_INET) {
    peer->ipv4 = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  } else {
    auto* sa = reinterpret_cast<sockaddr_in6*>(found->ai_addr);
    peer->ipv6 = true;
    std::memcpy(peer->ipv6_bytes, &sa->sin6_addr, sizeof peer->ipv6_bytes);
    peer->scope = sa->sin6_scope_id;
  }
  freeaddrinfo(found);
  return true;
}

}  // namespace

bool sock_resolve(const char* host, SockPeer* peer) {
  sock_survive_closed_peers();  // the socket layer is up for the name service (Windows starts it here)
  auto dotted = inet_addr(host);
  if (dotted != INADDR_NONE) {
    *peer = SockPeer{};
    peer->ipv4 = dotted;
    return true;
  }
  std::string name(host);
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
    return look_up(name.substr(1, name.size() - 2), AF_INET6, true, peer);
  if (look_up(name, AF_INET, false, peer)) return peer->ipv4 != INADDR_NONE;
  return look_up(name, AF_INET6, false, peer);
}

socklen_t sock_peer_address(const SockPeer& peer, uint16_t port, sockaddr_storage* address) {
  *address = sockaddr_storage{};
  if (peer.ipv6) {
    auto* sa = reinterpret_cast<sockaddr_in6*>(address);
    sa->sin6_family = AF_INET6;
    sa->sin6_port = htons(port);
    std::memcpy(&sa->sin6_addr, peer.ipv6_bytes, sizeof peer.ipv6_bytes);
    sa->sin6_scope_id = peer.scope;
    return sizeof *sa;
  }
  auto* sa = reinterpret_cast<sockaddr_in*>(address);
  sa->sin_family = AF_INET;
  sa->sin_port = htons(port);
  sa->sin_addr.s_addr = peer.ipv4;
  return sizeof *sa;
}

SockFd sock_open_for(const SockPeer& peer, int kind) {
  return peer.ipv6 ? sock_open_ipv6(kind) : sock_open(kind);
}

// A look-up on a thread of its own. The caller and the thread each hold a share; the one
// that lets go last frees it, so a caller that gave up never waits for the name service.
struct SockLookup {
  std::mutex lock;
  std::condition_variable done_signal;
  int state = 0;  // 0 under way, 1 resolved, -1 nothing resolves
  SockPeer peer;
  std::string host;
  int shares = 2;
};

namespace {

void let_go(SockLookup* lookup) {
  bool last = false;
  {
    std::lock_guard<std::mutex> hold(lookup->lock);
    last = --lookup->shares == 0;
  }
  if (last) delete lookup;
}

}  // namespace

SockLookup* sock_lookup_start(const char* host) {
  if (!host) return nullptr;
  auto* lookup = new (std::nothrow) SockLookup;
  if (!lookup) return nullptr;
  lookup->host = host;
  // An address as such needs no name service: it is read at once, without a thread.
  bool numeric = inet_addr(host) != INADDR_NONE || (lookup->host.size() >= 2 && lookup->host.front() == '[');
  if (!numeric) {
    try {
      std::thread([lookup] {
        SockPeer found;
        int state = sock_resolve(lookup->host.c_str(), &found) ? 1 : -1;
        {
          std::lock_guard<std::mutex> hold(lookup->lock);
          lookup->peer = found;
          lookup->state = state;
        }
        lookup->done_signal.notify_all();
        let_go(lookup);
      }).detach();
      return lookup;
    } catch (const std::system_error&) {
      // No thread to be had: the look-up runs here, without a bound.
    }
  }
  lookup->state = sock_resolve(host, &lookup->peer) ? 1 : -1;
  lookup->shares = 1;
  return lookup;
}

int sock_lookup_wait(SockLookup* lookup, int timeout_ms, SockPeer* peer) {
  std::unique_lock<std::mutex> hold(lookup->lock);
  lookup->done_signal.wait_for(hold, std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : 0),
                               [lookup] { return lookup->state != 0; });
  if (lookup->state == 1) *peer = lookup->peer;
  return lookup->state;
}

void sock_lookup_end(SockLookup* lookup) {
  if (lookup) let_go(lookup);
}
