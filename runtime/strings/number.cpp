#include "strings/number.h"

#include <cstring>

#include "strings/area.h"

namespace {

int digit_value(char c, int base) {
  int d;
  if (c >= '0' && c <= '9')
    d = c - '0';
  else if (c >= 'A' && c <= 'F')
    d = c - 'A' + 10;
  else if (c >= 'a' && c <= 'f')
    d = c - 'a' + 10;
  else
    return -1;
  return d < base ? d : -1;
}

}  // namespace

int64_t str_to_int64(const char* text) {
  if (!text) return 0;
  while (*text == ' ' || *text == '\t') ++text;
  bool negative = false;
  if (*text == '-' || *text == '+') negative = *text++ == '-';
  int base = 10;
  if (*text == '$') {
    base = 16;
    ++text;
  } else if (*text == '%') {
    base = 2;
    ++text;
  }
  uint64_t value = 0;
  for (int d; (d = digit_value(*text, base)) >= 0; ++text)
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
  if (negative) value = 0 - value;
  return static_cast<int64_t>(value);
}

void str_from_int32(int32_t value, int32_t pos) {
  char* p = str_area_reserve(32, pos);
  int32_t length = 0;
  if (value == 0) {
    p[length++] = '0';
  } else {
    if (value < 0) p[length++] = '-';
    if (value == INT32_MIN) {
      std::memcpy(p + length, "2147483648", 10);
      length += 10;
    } else {
      int32_t v = value < 0 ? -value : value;
      char digits[10];
      int count = 0;
      while (v > 0) {
        digits[count++] = static_cast<char>('0' + v % 10);
        v /= 10;
      }
      while (count > 0) p[length++] = digits[--count];
    }
  }
  str_area_release(32 - length);
  p[length] = 0;
}

void str_from_int64(int64_t value, int32_t pos) {
  if (value >= INT32_MIN && value <= INT32_MAX) {
    str_from_int32(static_cast<int32_t>(value), pos);
    return;
  }
  char* p = str_area_reserve(64, pos);
  if (value < 0) {
    p[0] = '-';
    str_format_u64(p + 1, 0 - static_cast<uint64_t>(value));
  } else {
    str_format_u64(p, static_cast<uint64_t>(value));
  }
  str_area_release(64 - static_cast<int32_t>(std::strlen(p)));
}

char* str_format_u64(char* destination, uint64_t value) {
  char digits[32];
  int count = 0;
  do {
    uint64_t q = value / 10;
    digits[count++] = static_cast<char>('0' + (value - 10 * q));
    value = q;
  } while (value != 0);
  char* out = destination;
  while (count > 0) *out++ = digits[--count];
  *out = 0;
  return destination;
}
