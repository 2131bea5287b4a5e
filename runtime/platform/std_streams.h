// Standard input, output and error as the process found them.
#pragma once

// Opens the null device on each of the descriptors 0, 1 and 2 that is closed, so that no
// descriptor the program opens later becomes a standard stream: a closed input then reads
// as ended, a closed output takes what is written and keeps nothing. Call it first, before
// anything opens a descriptor. Returns false when one stays closed.
bool std_streams_fill();
