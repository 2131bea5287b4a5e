// The senders a server lets in: when rules are given, a client from any other address is
// reset at once, before it counts as a connection. An address is no proof of identity:
// anyone on the way can send from it.
#pragma once
#include "platform/descriptors.h"

// Adds one rule, "ADDRESS" or "ADDRESS/PREFIX" (IPv4 prefix 0-32, IPv6 0-128). Returns
// false, adding nothing, when the text is no such rule.
bool net_allow_add(const char* rule);

// Forgets every rule: everyone is let in again.
void net_allow_clear();

// True when the peer of the connected socket may send: no rules at all, or one matches.
// A peer whose address cannot be had is not let in while there are rules.
bool net_allow_admits(SockFd socket);
