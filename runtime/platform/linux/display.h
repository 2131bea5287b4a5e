// Whether a display server is there to talk to, found out within a bound: a desktop
// library would wait minutes for a display whose host drops packets, or for ever for a
// server that never answers.
#pragma once

// Tries the X display that name (a DISPLAY value: [protocol/][host]:number[.screen])
// stands for: connects to it and opens an X session there. Returns true when the server
// answered (whatever it said, a refusal included) or closed the connection within
// limit_ms, and for names it cannot read (the desktop library decides then); false when
// nothing takes the connection or no whole answer came in time. A host name's look-up is
// inside the same bound.
bool display_answers(const char* name, int limit_ms);
