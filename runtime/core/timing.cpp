#include "core/timing.h"

#include "platform/clock.h"

// Linux timers already have millisecond resolution, so there is nothing to raise around
// the sleep.
void delay_ms(uint32_t ms) { clock_sleep_ms(ms); }

uint32_t elapsed_ms() { return clock_ticks_ms(); }
