#include "core/timing.h"

#include "platform/clock.h"

uint32_t elapsed_ms() { return clock_ticks_ms(); }
