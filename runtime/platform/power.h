// Keeping the computer awake while a transfer moves bytes: one that goes to sleep in the
// middle ends the transfer.
#pragma once

// Asks the system not to go to sleep until power_allow_sleep is given the result; why is
// the reason a user who asks what keeps the computer awake is shown. Linux asks the login
// manager over the system's message bus, where one runs; Windows marks the calling thread.
// Gives up within half a second (at once when no bus is there). Returns a handle for
// power_allow_sleep, or -1 when nothing could be held.
int power_keep_awake(const char* why);

// Lets the system sleep again as far as the handle kept it awake. -1 does nothing.
// Windows: on the thread that took the handle.
void power_allow_sleep(int handle);
