// Pauses and the millisecond clock of the main flows and the file transfer.
#pragma once
#include <cstdint>

// Sleeps for ms milliseconds.
void delay_ms(uint32_t ms);

// Milliseconds of a monotonic clock, wrapping at 2^32. Take differences of two readings
// as unsigned 32-bit values: they stay right across the wrap.
uint32_t elapsed_ms();
