// Discovery through Avahi, the system's multicast DNS service on Linux. Its client
// libraries are loaded at run time: where they are not installed, or the daemon does not
// run, nothing is announced or found and the programs run as without. The few calls used
// are declared here; their types are Avahi's stable interface of libavahi-client.so.3.
#include "platform/discovery.h"

#include <dlfcn.h>
#include <net/if.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

namespace {

struct AvahiPoll;
struct AvahiThreadedPoll;
struct AvahiClient;
struct AvahiEntryGroup;
struct AvahiServiceBrowser;
struct AvahiServiceResolver;
struct AvahiStringList;
struct AvahiAddress;

constexpr int kIfUnspec = -1;
constexpr int kProtoUnspec = -1;
constexpr int kProtoInet6 = 1;
constexpr int kClientRunning = 2;
constexpr int kClientCollision = 3;
constexpr int kClientRegistering = 1;
constexpr int kGroupCollision = 3;
constexpr int kErrorCollision = -8;
constexpr int kBrowserNew = 0;
constexpr int kBrowserRemove = 1;
constexpr int kResolverFound = 0;
constexpr char kType[] = "_kelvane._tcp";

using ClientCallback = void (*)(AvahiClient*, int, void*);
using GroupCallback = void (*)(AvahiEntryGroup*, int, void*);
using BrowserCallback = void (*)(AvahiServiceBrowser*, int, int, int, const char*, const char*, const char*, int,
                                 void*);
using ResolverCallback = void (*)(AvahiServiceResolver*, int, int, int, const char*, const char*, const char*,
                                  const char*, const AvahiAddress*, uint16_t, AvahiStringList*, int, void*);

// The calls taken from the two libraries.
struct Avahi {
  AvahiThreadedPoll* (*poll_new)();
  const AvahiPoll* (*poll_get)(AvahiThreadedPoll*);
  int (*poll_start)(AvahiThreadedPoll*);
  void (*poll_lock)(AvahiThreadedPoll*);
  void (*poll_unlock)(AvahiThreadedPoll*);
  char* (*address_print)(char*, size_t, const AvahiAddress*);
  char* (*alternative_name)(const char*);
  void (*free)(void*);
  AvahiClient* (*client_new)(const AvahiPoll*, int, ClientCallback, void*, int*);
  const char* (*host_name_fqdn)(AvahiClient*);
  AvahiEntryGroup* (*group_new)(AvahiClient*, GroupCallback, void*);
  int (*group_add_service)(AvahiEntryGroup*, int, int, int, const char*, const char*, const char*, const char*,
                           uint16_t, ...);
  int (*group_commit)(AvahiEntryGroup*);
  int (*group_reset)(AvahiEntryGroup*);
  AvahiServiceBrowser* (*browser_new)(AvahiClient*, int, int, const char*, const char*, int, BrowserCallback,
                                      void*);
  AvahiServiceResolver* (*resolver_new)(AvahiClient*, int, int, const char*, const char*, const char*, int, int,
                                        ResolverCallback, void*);
  int (*resolver_free)(AvahiServiceResolver*);
};

// One service as the daemon reports it: per interface and protocol.
struct Seen {
  DiscoveredService service;
  int interface;
  int protocol;
};

// Everything the main flow and Avahi's thread share. Order of locks: Avahi's poll lock
// (held around every callback) before this one.
struct State {
  std::mutex lock;
  bool started = false;
  std::string want_name;  // the instance to announce; empty: none
  uint16_t want_port = 0;
  bool want_browse = false;
  AvahiClient* client = nullptr;
  bool running = false;
  AvahiEntryGroup* group = nullptr;
  std::string group_name;  // the name it announces, after any collision
  std::string published;   // what the group holds: name and port; empty when nothing
  bool browsing = false;
  std::vector<Seen> found;
  std::string fqdn;
};

Avahi g_avahi;
std::atomic<AvahiThreadedPoll*> g_poll{nullptr};

// Never destroyed: Avahi's thread and the exit hooks may use it while the process ends.
State& state() {
  static State* s = new State;
  return *s;
}

template <typename F>
bool take(void* library, const char* name, F* slot) {
  *slot = reinterpret_cast<F>(dlsym(library, name));
  return *slot != nullptr;
}

bool load() {
  void* common = dlopen("libavahi-common.so.3", RTLD_NOW | RTLD_LOCAL);
  void* client = common ? dlopen("libavahi-client.so.3", RTLD_NOW | RTLD_LOCAL) : nullptr;
  if (!client) return false;
  Avahi& a = g_avahi;
  return take(common, "avahi_threaded_poll_new", &a.poll_new) && take(common, "avahi_threaded_poll_get", &a.poll_get) &&
         take(common, "avahi_threaded_poll_start", &a.poll_start) &&
         take(common, "avahi_threaded_poll_lock", &a.poll_lock) &&
         take(common, "avahi_threaded_poll_unlock", &a.poll_unlock) &&
         take(common, "avahi_address_snprint", &a.address_print) &&
         take(common, "avahi_alternative_service_name", &a.alternative_name) && take(common, "avahi_free", &a.free) &&
         take(client, "avahi_client_new", &a.client_new) &&
         take(client, "avahi_client_get_host_name_fqdn", &a.host_name_fqdn) &&
         take(client, "avahi_entry_group_new", &a.group_new) &&
         take(client, "avahi_entry_group_add_service", &a.group_add_service) &&
         take(client, "avahi_entry_group_commit", &a.group_commit) &&
         take(client, "avahi_entry_group_reset", &a.group_reset) &&
         take(client, "avahi_service_browser_new", &a.browser_new) &&
         take(client, "avahi_service_resolver_new", &a.resolver_new) &&
         take(client, "avahi_service_resolver_free", &a.resolver_free);
}

void on_group(AvahiEntryGroup* group, int group_state, void*);

// Takes Avahi's next name for the service ("kvrecv #2" after "kvrecv"). Returns false when
// there is none. With s.lock held.
bool rename_service(State& s) {
  char* next = g_avahi.alternative_name(s.group_name.c_str());
  if (!next) return false;
  s.group_name = next;
  g_avahi.free(next);
  return true;
}

// Adds the wanted service to the (empty) group and commits it. A name another program on
// this computer announces already (a second receiver) is refused at once, not by the
// group's collision: the next name is tried then. With s.lock held.
void publish(State& s) {
  if (s.group_name.empty()) s.group_name = s.want_name;
  for (int tries = 0; tries < 100; ++tries) {
    int added = g_avahi.group_add_service(s.group, kIfUnspec, kProtoUnspec, 0, s.group_name.c_str(), kType, nullptr,
                                          nullptr, s.want_port, static_cast<const char*>(nullptr));
    if (added == 0) g_avahi.group_commit(s.group);
    if (added != kErrorCollision || !rename_service(s)) return;
  }
}

// A resolved service, kept with the address the sender connects to (IPv6 in brackets).
void on_resolved(AvahiServiceResolver* resolver, int interface, int protocol, int event, const char* name,
                 const char*, const char*, const char*, const AvahiAddress* address, uint16_t port,
                 AvahiStringList*, int, void*) {
  if (event == kResolverFound && address) {
    char text[64] = {};
    g_avahi.address_print(text, sizeof text, address);
    std::string where = text;
    if (protocol == kProtoInet6) {
      char interface_name[IF_NAMESIZE] = {};
      if (where.rfind("fe80:", 0) == 0 && if_indextoname(static_cast<unsigned>(interface), interface_name))
        where += std::string("%") + interface_name;
      where = "[" + where + "]";
    }
    State& s = state();
    std::lock_guard<std::mutex> hold(s.lock);
    std::erase_if(s.found, [&](const Seen& seen) {
      return seen.service.instance == name && seen.interface == interface && seen.protocol == protocol;
    });
    s.found.push_back(Seen{DiscoveredService{name, where, port}, interface, protocol});
  }
  g_avahi.resolver_free(resolver);
}

// A service appeared or went: one that appeared is resolved to an address and port.
void on_browsed(AvahiServiceBrowser*, int interface, int protocol, int event, const char* name, const char* type,
                const char* domain, int, void*) {
  State& s = state();
  std::lock_guard<std::mutex> hold(s.lock);
  if (event == kBrowserNew && s.client)
    g_avahi.resolver_new(s.client, interface, protocol, name, type, domain, kProtoUnspec, 0, on_resolved, nullptr);
  else if (event == kBrowserRemove)
    std::erase_if(s.found, [&](const Seen& seen) {
      return seen.service.instance == name && seen.interface == interface && seen.protocol == protocol;
    });
}

// Brings what is announced and browsed in line with what is wanted. On Avahi's side of
// the locks: its poll lock held.
void apply() {
  State& s = state();
  std::lock_guard<std::mutex> hold(s.lock);
  if (!s.client || !s.running) return;
  std::string wanted = s.want_name.empty() ? "" : s.want_name + ":" + std::to_string(s.want_port);
  if (wanted != s.published) {
    if (s.group) g_avahi.group_reset(s.group);
    s.published.clear();
    if (!wanted.empty() && !s.group) s.group = g_avahi.group_new(s.client, on_group, nullptr);
    if (!wanted.empty() && s.group) {
      publish(s);
      s.published = wanted;
    }
  }
  if (s.want_browse && !s.browsing)
    s.browsing = g_avahi.browser_new(s.client, kIfUnspec, kProtoUnspec, kType, nullptr, 0, on_browsed, nullptr) != nullptr;
}

void on_group(AvahiEntryGroup* group, int group_state, void*) {
  if (group_state != kGroupCollision) return;
  State& s = state();
  std::lock_guard<std::mutex> hold(s.lock);
  if (group != s.group || s.want_name.empty() || !rename_service(s)) return;
  g_avahi.group_reset(group);
  publish(s);
}

void on_client(AvahiClient* client, int client_state, void*) {
  State& s = state();
  {
    std::lock_guard<std::mutex> hold(s.lock);
    s.client = client;  // also while avahi_client_new is still running
    s.running = client_state == kClientRunning;
    if (s.running) {
      const char* fqdn = g_avahi.host_name_fqdn(client);
      s.fqdn = fqdn ? fqdn : "";
    }
    // The daemon's host name changed or is being registered: the service follows it.
    if ((client_state == kClientCollision || client_state == kClientRegistering) && s.group) {
      g_avahi.group_reset(s.group);
      s.published.clear();
    }
  }
  if (client_state == kClientRunning) apply();
}

// Reaches the daemon; runs on a thread of its own, so that a missing or slow daemon never
// holds up the program.
void reach_daemon() {
  if (!load()) return;
  AvahiThreadedPoll* poll = g_avahi.poll_new();
  if (!poll) return;
  int error = 0;
  if (!g_avahi.client_new(g_avahi.poll_get(poll), 0, on_client, nullptr, &error)) return;
  if (g_avahi.poll_start(poll) != 0) return;
  g_poll.store(poll);
  g_avahi.poll_lock(poll);
  apply();  // what was wanted while the daemon was being reached
  g_avahi.poll_unlock(poll);
}

// Records what is wanted and has it applied: at once when the daemon is reached, else by
// the thread that reaches it.
void want(const std::function<void(State&)>& change) {
  State& s = state();
  bool start = false;
  {
    std::lock_guard<std::mutex> hold(s.lock);
    change(s);
    start = !s.started;
    s.started = true;
  }
  if (start) {
    std::thread(reach_daemon).detach();
    return;
  }
  if (AvahiThreadedPoll* poll = g_poll.load()) {
    g_avahi.poll_lock(poll);
    apply();
    g_avahi.poll_unlock(poll);
  }
}

}  // namespace

void discovery_announce(const char* instance, uint16_t port) {
  std::string name = instance ? instance : "";
  want([&](State& s) {
    if (s.want_name != name) s.group_name.clear();
    s.want_name = name;
    s.want_port = port;
  });
}

void discovery_withdraw() {
  State& s = state();
  {
    std::lock_guard<std::mutex> hold(s.lock);
    if (!s.started || s.want_name.empty()) return;
  }
  want([](State& st) { st.want_name.clear(); });
}

void discovery_browse() {
  want([](State& s) { s.want_browse = true; });
}

std::vector<DiscoveredService> discovery_found() {
  State& s = state();
  std::lock_guard<std::mutex> hold(s.lock);
  // One entry per instance: the first seen, replaced by an IPv4 address where one came.
  std::vector<DiscoveredService> found;
  for (const Seen& seen : s.found) {
    auto same = std::find_if(found.begin(), found.end(),
                             [&](const DiscoveredService& f) { return f.instance == seen.service.instance; });
    if (same == found.end())
      found.push_back(seen.service);
    else if (seen.protocol != kProtoInet6 && same->address.front() == '[')
      *same = seen.service;
  }
  return found;
}

std::string discovery_local_name() {
  State& s = state();
  std::lock_guard<std::mutex> hold(s.lock);
  return s.fqdn;
}
