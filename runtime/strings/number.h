// Conversions between 64-bit integers and text, in two's-complement arithmetic without
// overflow detection.
#pragma once
#include <cstdint>

// Reads a number the user typed: blanks and tabs, one optional sign, then decimal digits,
// "$" and hexadecimal digits, or "%" and binary digits. The first character that is not a
// digit of the base ends the number. Wraps modulo 2^64. A null text gives 0.
int64_t str_to_int64(const char* text);

// Write the decimal text of value onto the calling thread's string area at pos (-1: the
// current top); top ends right behind the text, on a zero byte.
void str_from_int32(int32_t value, int32_t pos);
void str_from_int64(int64_t value, int32_t pos);

// Writes the decimal digits of value and a zero byte to destination (21 bytes at least).
// Returns destination.
char* str_format_u64(char* destination, uint64_t value);
