#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "strings/area.h"
#include "strings/number.h"
#include "support/runtime_fixture.h"

TEST(StrToInt64, ReadsTheThreeBasesAndStopsAtTheFirstStrayCharacter) {
  EXPECT_EQ(str_to_int64(nullptr), 0);
  const std::pair<const char*, int64_t> cases[] = {
      {"", 0},    {"abc", 0}, {"  \t+42", 42}, {"12abc", 12}, {"-$1F", -31}, {"$ff", 255}, {"$50", 80}, {"%1011", 11},
      {"%102", 2}, {"$", 0},  {"%", 0},       {"- 5", 0},    {"$-1", 0},    {"+-1", 0},   {" 8080 ", 8080}};
  for (const auto& [text, value] : cases) EXPECT_EQ(str_to_int64(text), value) << text;
}

TEST(StrToInt64, WrapsModulo2To64) {
  // 2^64 + 1, 2^63, -2^63, 2^64 - 1, and no 32-bit cut.
  const std::pair<const char*, int64_t> cases[] = {
      {"18446744073709551617", 1}, {"9223372036854775808", LLONG_MIN}, {"-9223372036854775808", LLONG_MIN},
      {"18446744073709551615", -1}, {"$FFFFFFFFFFFFFFFF", -1}, {"$10000000000000001", 1}, {"4294967297", 4294967297LL}};
  for (const auto& [text, value] : cases) EXPECT_EQ(str_to_int64(text), value) << text;
}

using StrFromInt = RuntimeTest;

namespace {
std::string format64(int64_t v) {
  int32_t mark = str_area_top();
  str_area_append("<");
  str_from_int64(v, str_area_top());
  EXPECT_EQ(str_area_base()[str_area_top()], 0);
  str_area_append(">");
  std::string text = str_area_base() + mark;
  str_area_reset(mark);
  return text;
}
}  // namespace

TEST_F(StrFromInt, WritesDecimalTextInPlaceOnBothPaths) {
  const std::pair<int64_t, const char*> cases[] = {
      {0, "<0>"}, {-1, "<-1>"}, {80, "<80>"}, {2147483647, "<2147483647>"}, {-2147483648LL, "<-2147483648>"},
      {2147483648LL, "<2147483648>"}, {-2147483649LL, "<-2147483649>"}, {LLONG_MAX, "<9223372036854775807>"},
      {LLONG_MIN, "<-9223372036854775808>"}};
  for (const auto& [value, text] : cases) EXPECT_EQ(format64(value), text);
}

TEST_F(StrFromInt, LeavesTopRightBehindTheText) {
  str_area_append("abc");
  str_from_int32(INT32_MIN, -1);
  EXPECT_EQ(str_area_top(), 3 + 11);
  EXPECT_STREQ(str_area_base(), "abc-2147483648");
  str_from_int64(-1234567890123LL, str_area_top());
  EXPECT_STREQ(str_area_base(), "abc-2147483648-1234567890123");
  EXPECT_EQ(str_area_top(), 28);
}

TEST(StrFormatU64, CoversZeroAndTheLargestValue) {
  char out[21];
  EXPECT_STREQ(str_format_u64(out, 0), "0");
  EXPECT_STREQ(str_format_u64(out, 18446744073709551615ULL), "18446744073709551615");
}
