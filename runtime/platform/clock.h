// The monotonic millisecond clock and sleeping.
#pragma once
#include <cstdint>

// Milliseconds of the monotonic clock, cut to 32 bits: the value wraps at 2^32.
uint32_t clock_ticks_ms();

// Replaces the clock for tests (null restores the real one). Not thread-safe against
// concurrent readers; set it before the code under test runs.
void clock_set_source(uint32_t (*source)());

// Sleeps for ms milliseconds; a signal does not cut the sleep short.
void clock_sleep_ms(uint32_t ms);

// Replaces the sleep for tests, so waits of seconds pass in a fraction of the time (null
// restores the real one). Set it before the code under test runs, like the clock.
void clock_set_sleep(void (*sleep)(uint32_t ms));
