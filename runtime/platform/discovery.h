// Finding each other on the local network: this machine's service announced by the
// system's multicast DNS service (DNS-SD, type _kelvane._tcp), and the services others
// announce. Where the system has no such service (not installed, not running, too old a
// system) every call here does nothing and nothing is found: the programs work as without.
// Nothing here waits for the service: it is reached on a thread of its own.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Announces the service under instance on port until discovery_withdraw; a later call
// replaces the announcement. Should the name be taken on the network, the service picks
// the next free one ("name #2").
void discovery_announce(const char* instance, uint16_t port);

// Withdraws the announcement, if there is one. Safe on any thread, also in an exit hook.
void discovery_withdraw();

// Starts looking for the services others announce; found ones are kept up to date
// (a withdrawn one is dropped) until the process ends.
void discovery_browse();

// One service found: its instance name, an address it can be reached at and its port.
struct DiscoveredService {
  std::string instance;
  std::string address;  // dotted IPv4 or IPv6 text (with %interface for a link-local one)
  uint16_t port = 0;
};

// The services found so far, in the order they were found.
std::vector<DiscoveredService> discovery_found();

// This machine's name in multicast DNS ("anna-pc.local") once the service is reached;
// empty where there is none.
std::string discovery_local_name();
