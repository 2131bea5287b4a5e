// Number conversions: any text reads without fault, the decimal text of the value reads
// back as the same value, and plain decimal input agrees with the C library where it does
// not overflow.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"
#include "strings/area.h"
#include "strings/number.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_runtime_once();
  std::string text = fuzz_text(data, size);
  int64_t value = str_to_int64(text.c_str());

  int32_t mark = str_area_top();
  str_from_int64(value, mark);
  std::string decimal = str_area_base() + mark;
  str_area_reset(mark);
  fuzz_check(str_to_int64(decimal.c_str()) == value, "decimal text reads back as the value");
  fuzz_check(std::strtoll(decimal.c_str(), nullptr, 10) == value, "decimal text is what C reads");

  char digits[24];
  str_format_u64(digits, static_cast<uint64_t>(value));
  fuzz_check(std::strtoull(digits, nullptr, 10) == static_cast<uint64_t>(value), "unsigned digits");

  // Blanks and tabs, one sign, decimal digits: the C library agrees where the value fits.
  size_t at = text.find_first_not_of(" \t");
  if (at != std::string::npos) {
    size_t digits_at = text[at] == '+' || text[at] == '-' ? at + 1 : at;
    if (digits_at < text.size() && std::isdigit(static_cast<unsigned char>(text[digits_at]))) {
      errno = 0;
      long long expected = std::strtoll(text.c_str() + at, nullptr, 10);
      if (errno == 0) fuzz_check(value == expected, "decimal input agrees with strtoll");
    }
  }
  if (value >= INT32_MIN && value <= INT32_MAX) {
    mark = str_area_top();
    str_from_int32(static_cast<int32_t>(value), mark);
    fuzz_check(decimal == str_area_base() + mark, "32-bit and 64-bit texts agree");
    str_area_reset(mark);
  }
  return 0;
}
