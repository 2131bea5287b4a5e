// Test hooks of the Linux back end: they turn off the system's faster ways, so the tests
// can run the ways taken on systems without them. Only tests include this header.
#pragma once

// With allowed false, sock_send_from_file sends through a buffer as on a system that cannot
// copy a file to a socket, so the buffered way of sending runs. True (the start
// value) lets it copy again.
void sock_allow_file_copy(bool allowed);

// With allowed false, receptions gather their bytes in a named temporary file as on a file
// system without unnamed files. True (the start value) lets them use unnamed files again.
void file_allow_unnamed(bool allowed);
