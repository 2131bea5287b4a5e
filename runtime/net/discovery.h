// Finding each other: where this receiver can be reached, its announcement on the local
// network, the receivers others announce, and who a connected sender is.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "net/server.h"
#include "platform/discovery.h"

// The names and addresses a sender on another computer can use for this one, the most
// useful first: private IPv4 addresses, the multicast DNS name (name.local, where that
// service runs), the host name, other addresses; those of VPNs and virtual adapters last,
// followed by " (VPN/virtuell)". Loopback and link-local addresses are left out.
std::vector<std::string> net_reachable_names();

// Announces this receiver on the network (its host name as the instance name, the port)
// until net_withdraw, which the exit hooks run too. Nothing but the name and the port is
// announced.
void net_announce(uint32_t port);
void net_withdraw();

// Starts looking for receivers on the network (see discovery_found).
void net_browse();

// The found receiver that typed means: its instance name, the beginning of exactly one
// instance name (case ignored), or its number in discovery_found's list from 1. Returns
// false, leaving *found alone, when typed means none.
bool net_browse_pick(const char* typed, DiscoveredService* found);

// The address of a connection's peer as text, with the name a reverse look-up gives
// within timeout_ms in parentheses behind it; empty when the address cannot be had.
std::string net_connection_peer(const NetConnection* connection, int timeout_ms);
