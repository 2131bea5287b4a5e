#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "strings/area.h"
#include "support/runtime_fixture.h"

using StringAreaTest = RuntimeTest;

// Reservations of every size across the growths: the reserved bytes and the zero byte
// behind them are the caller's to write (the sanitizer build checks the bounds), and what
// stood on the area before stays.
TEST_F(StringAreaTest, GrowsOnlyWhenTheSpareBytesWouldBeReached) {
  std::string expected;
  for (int32_t n : {0, 1, 10, 1, 1, 2, 3, 100, 16000, 270, 1, 1, 1, 1, 1, 1, 40000, 5}) {
    char* p = str_area_reserve(n, -1);
    for (int32_t i = 0; i < n; ++i)
      p[i] = static_cast<char>('a' + (expected.size() + static_cast<size_t>(i)) % 26);
    p[n] = 0;
    expected.append(p, static_cast<size_t>(n));
    ASSERT_EQ(str_area_top(), static_cast<int32_t>(expected.size()));
    ASSERT_TRUE(std::string(str_area_base()) == expected) << "after reserving " << n;
  }
}

TEST_F(StringAreaTest, MarksSurviveGrowthAndPiecesJoin) {
  int32_t mark = str_area_top();
  str_area_append("Port: ");
  std::string big(40000, 'z');
  str_area_append(big.c_str());  // grows and may move the buffer
  str_area_append(nullptr);
  str_area_append("!");
  std::string expected = "Port: " + big + "!";
  EXPECT_STREQ(str_area_base() + mark, expected.c_str());
  EXPECT_EQ(str_area_top(), mark + static_cast<int32_t>(expected.size()));
  EXPECT_EQ(str_area_base()[str_area_top()], 0);
  str_area_reset(mark);
  str_area_append("ab");
  EXPECT_STREQ(str_area_base() + mark, "ab");
}

TEST_F(StringAreaTest, AppendOfATextOnTheAreaSurvivesGrowth) {
  std::string filler(17000, 'f');
  str_area_append(filler.c_str());
  // The source is the area's own text, long enough for its append to grow the area.
  int32_t capacity = str_area_current()->capacity;
  str_area_append(str_area_base());
  EXPECT_GT(str_area_current()->capacity, capacity);
  EXPECT_TRUE(str_area_base() == filler + filler);
}

TEST_F(StringAreaTest, NullAppendWritesOnlyTheZeroByte) {
  str_area_append("abc");
  str_area_base()[3] = 'X';
  str_area_append(nullptr);
  EXPECT_EQ(str_area_top(), 3);
  EXPECT_EQ(str_area_base()[3], 0);
}

TEST_F(StringAreaTest, TakeMovesTheTextIntoAVariable) {
  StringVar var = nullptr;
  int32_t mark = str_area_top();
  // An empty text (nothing appended) gives a block, not null; a shorter one shrinks it.
  for (const char* text : {"", "C:\\data\\file.bin", "x"}) {
    if (*text) str_area_append(text);
    str_area_take(&var, mark);
    ASSERT_NE(var, nullptr);
    EXPECT_STREQ(var, text);
    EXPECT_EQ(str_area_top(), mark);
  }
}

TEST_F(StringAreaTest, AssignCopiesEmptiesAndReportsLengthPlusOne) {
  StringVar var = nullptr;
  EXPECT_EQ(str_assign(&var, nullptr), 1);
  EXPECT_EQ(var, nullptr);
  EXPECT_EQ(str_assign(&var, "1234567"), 8);
  EXPECT_STREQ(var, "1234567");
  EXPECT_EQ(str_assign(&var, var), 8);  // assigning itself keeps the text
  EXPECT_STREQ(var, "1234567");
  EXPECT_EQ(str_assign(&var, ""), 1);
  ASSERT_NE(var, nullptr);
  EXPECT_STREQ(var, "");
  EXPECT_EQ(str_assign(&var, nullptr), 1);
  EXPECT_EQ(var, nullptr);
}

TEST_F(StringAreaTest, EachThreadHasItsOwnArea) {
  str_area_append("main");
  StringArea* main_area = str_area_current();
  StringArea* other = nullptr;
  std::thread t([&] {
    EXPECT_EQ(str_area_current(), nullptr);
    str_area_create();
    other = str_area_current();
    str_area_append("worker");
    EXPECT_STREQ(str_area_base(), "worker");
  });
  t.join();
  EXPECT_NE(other, main_area);
  EXPECT_STREQ(str_area_base(), "main");
}

TEST(StringCopy, WritesTheTerminatorBehindTheBytes) {
  char out[8];
  std::memset(out, 'x', sizeof out);
  str_copy(out, "abcdef", 3);
  EXPECT_STREQ(out, "abc");
  str_copy(out, nullptr, 0);
  EXPECT_STREQ(out, "");
}
