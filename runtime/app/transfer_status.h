// The status line both programs show while a transfer runs: bytes so far of the total,
// percent and rate, refreshed a few times a second. Transfers that end within half a
// second never show it; it is erased when the transfer ends, so the lines that stay on
// the screen are the programs' own.
#pragma once
#include <cstdint>

// Starts timing a transfer; nothing is shown yet. With a waiting text, the line shows it
// in front of the progress once the bytes done have not moved for a second (a peer that
// does not take them), with the seconds they have not moved and either the seconds after
// which the wait is given up (wait_limit_ms) or, with 0 (no bound), that Ctrl+C gives up.
void transfer_status_begin(const char* waiting = nullptr, uint32_t wait_limit_ms = 0);

// Changes the waiting text of the running transfer, for a wait of another kind that
// follows (the same timing goes on).
void transfer_status_wait(const char* waiting);
// Reports progress. Matches the network library's progress callback, so it can be
// registered directly (ctx is unused). A transfer that waits reports the same count
// again while it waits.
void transfer_status_update(int64_t done, int64_t total, void* ctx);

// Shows that a connection is still being tried: once half a second has passed, the
// seconds waited for an answer and the seconds after which it is given up. Matches the
// network library's connect progress callback (ctx is unused). Erased by
// transfer_status_end.
void transfer_status_connecting(uint32_t waited_ms, uint32_t limit_ms, void* ctx);

// Erases the status line, if one is shown.
void transfer_status_end();
