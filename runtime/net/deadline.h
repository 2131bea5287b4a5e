// How long the network library's waits may last. Every wait of a program (a name
// look-up, a connect, a send the peer takes nothing of, the wait for the receiver's word)
// runs on a deadline: a bound counted from the wait's start or its last progress. With a
// person at the keyboard a send and the wait for the receipt have none: the person ends
// them (Ctrl+C). Their bound is for scripts, where nobody would.
#pragma once
#include <cstdint>

// A send, or the wait for the receiver's word after it, is given up when the receiver
// took no byte and said nothing for this long.
constexpr uint32_t NET_STALL_LIMIT_MS = 60000;

// Replaces the stall limit (0 brings back NET_STALL_LIMIT_MS), so tests need not wait it
// out.
void net_set_stall_limit(uint32_t ms);

// With person set, sends and the wait for the receipt have no bound from now on;
// without it (the start) they have the stall limit.
void net_set_person_waits(bool person);

// The bound a send's wait has now: the stall limit, or 0 (none) with a person.
uint32_t net_stall_limit();

// One wait's clock: started or moved on by progress, passed once limit_ms went by
// without any.
struct NetDeadline {
  uint32_t since = 0;
  uint32_t limit_ms = 0;  // 0: no bound
};

// A deadline limit_ms (0: none) from now.
NetDeadline net_deadline_start(uint32_t limit_ms);

// Progress came: the deadline counts from now again.
void net_deadline_progress(NetDeadline* deadline);

// Milliseconds since the start or the last progress.
uint32_t net_deadline_waited(const NetDeadline& deadline);

// The longest wait before looking again: at most slice_ms, less when the deadline is
// nearer. Returns 0 once it has passed.
int net_deadline_slice(const NetDeadline& deadline, int slice_ms);
