// The system's own clock and sleep, one of each back end; clock.h's calls put the
// replacements of the tests in front of them.
#pragma once
#include <cstdint>

// Milliseconds of the system's monotonic clock, cut to 32 bits.
uint32_t system_clock_ms();
// Sleeps for ms milliseconds; a signal does not cut the sleep short.
void system_sleep_ms(uint32_t ms);
