// The Linux back end's signal events as its terminal waits for them (signals.cpp).
#pragma once

// A descriptor that becomes readable when an event was reported; -1 before
// signals_install.
int signals_event_fd();

// The events reported since the last call (a set of SIGNAL_EVENT_*, 0 for none); the
// descriptor is not readable afterwards until the next event.
int signals_take_events();
