// The ports the programs take: one range, and one reader with the two rules of where a
// port comes from.
#pragma once
#include <cstdint>

// The range as the messages show it, and its ends.
#define PORT_RANGE_TEXT "1-9999"
constexpr int32_t PORT_LOWEST = 1;
constexpr int32_t PORT_HIGHEST = 9999;

// Where a port text comes from:
// - PORT_TYPED: typed at the prompt, read as a number as str_to_int64 reads it (the
//   value is compared in full 64 bits);
// - PORT_COMMAND_LINE: after -p or --port, decimal digits only: a script means the number
//   it wrote, so a tail, an exponent or another base is a wrong call, not a port.
enum PortRule { PORT_TYPED, PORT_COMMAND_LINE };

// The port text gives under rule, when it lies in the range. Returns 0 otherwise.
int32_t port_read(const char* text, PortRule rule);
