// The millisecond clock of the main flows and the file transfer (their pauses are
// clock_sleep_ms of platform/clock.h).
#pragma once
#include <cstdint>

// Milliseconds of a monotonic clock, wrapping at 2^32. Take differences of two readings
// as unsigned 32-bit values: they stay right across the wrap.
uint32_t elapsed_ms();
