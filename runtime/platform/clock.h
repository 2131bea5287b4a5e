// The monotonic millisecond clock and sleeping.
#pragma once
#include <cstdint>

// Milliseconds of the monotonic clock, cut to 32 bits: the value wraps at 2^32.
uint32_t clock_ticks_ms();

// Sleeps for ms milliseconds; a signal does not cut the sleep short.
void clock_sleep_ms(uint32_t ms);
