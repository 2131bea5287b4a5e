// Test hooks of both back ends: the tests replace the clock and the sleep, and cap a heap
// to reach the failure paths. Only tests include this header.
#pragma once
#include <cstddef>
#include <cstdint>

struct PlatformHeap;

// Replaces the clock (null restores the real one). Not thread-safe against concurrent
// readers; set it before the code under test runs.
void clock_set_source(uint32_t (*source)());

// Replaces the sleep, so waits of seconds pass in a fraction of the time (null restores
// the real one). Set it before the code under test runs, like the clock.
void clock_set_sleep(void (*sleep)(uint32_t ms));

// Caps the bytes the heap may hold at once (0: no cap). A request that would pass the cap
// fails as an exhausted heap does.
void heap_set_limit(PlatformHeap* heap, size_t max_bytes);
