#include "net/deadline.h"

#include <algorithm>
#include <atomic>

#include "core/timing.h"

namespace {

std::atomic<uint32_t> g_stall_limit_ms{0};
std::atomic<bool> g_person{false};

}  // namespace

void net_set_stall_limit(uint32_t ms) { g_stall_limit_ms.store(ms); }

void net_set_person_waits(bool person) { g_person.store(person); }

uint32_t net_stall_limit() {
  if (g_person.load()) return 0;
  uint32_t limit = g_stall_limit_ms.load();
  return limit ? limit : NET_STALL_LIMIT_MS;
}

NetDeadline net_deadline_start(uint32_t limit_ms) { return NetDeadline{elapsed_ms(), limit_ms}; }

void net_deadline_progress(NetDeadline* deadline) { deadline->since = elapsed_ms(); }

uint32_t net_deadline_waited(const NetDeadline& deadline) {
  return elapsed_ms() - deadline.since;  // unsigned: right across the clock's wrap
}

int net_deadline_slice(const NetDeadline& deadline, int slice_ms) {
  if (deadline.limit_ms == 0) return slice_ms;
  uint32_t waited = net_deadline_waited(deadline);
  if (waited >= deadline.limit_ms) return 0;
  return static_cast<int>(std::min<uint32_t>(deadline.limit_ms - waited, static_cast<uint32_t>(slice_ms)));
}
