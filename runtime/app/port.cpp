#include "app/port.h"

#include "strings/number.h"

namespace {
// The number a run of decimal digits gives, at compile time, for the check below.
constexpr int32_t digits_value(const char* text) {
  int32_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) value = value * 10 + (*text - '0');
  return value;
}
constexpr const char* after_dash(const char* text) {
  while (*text && *text != '-') ++text;
  return *text ? text + 1 : text;
}
static_assert(digits_value(PORT_RANGE_TEXT) == PORT_LOWEST && digits_value(after_dash(PORT_RANGE_TEXT)) == PORT_HIGHEST,
              "the range the messages show is the range taken");
}  // namespace

int32_t port_read(const char* text, PortRule rule) {
  if (rule == PORT_TYPED) {
    int64_t value = str_to_int64(text);
    return value >= PORT_LOWEST && value <= PORT_HIGHEST ? static_cast<int32_t>(value) : 0;
  }
  int32_t port = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return 0;
    port = port * 10 + (*p - '0');
    if (port > PORT_HIGHEST) return 0;
  }
  return port >= PORT_LOWEST ? port : 0;
}
