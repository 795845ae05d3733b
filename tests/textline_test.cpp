#include "platform/textline.h"

#include <gtest/gtest.h>

#include <string>

TEST(TextLine, SplitFieldsCountsAndStopsPastTheLimit) {
  struct {
    const char* line;
    size_t max;
    size_t want;
    const char* last;  // the last field stored
  } cases[] = {
      {"", 2, 0, nullptr},
      {" \t ", 2, 0, nullptr},
      {"one", 2, 1, "one"},
      {"\tone  two\t", 2, 2, "two"},
      {"one two three", 2, 3, "two"},  // too many: the fields kept
                                       // stay whole
      {"one two   ", 2, 2, "two"},
  };
  for (const auto& c : cases) {
    std::string line = c.line;
    char* fields[2] = {};
    size_t n = qor_split_fields(line.data(), fields, c.max);
    EXPECT_EQ(n, c.want) << '"' << c.line << '"';
    if (c.last != nullptr) {
      EXPECT_STREQ(fields[n > c.max ? c.max - 1 : n - 1], c.last) << c.line;
    }
  }
}

TEST(TextLine, Utf8SequenceLengths) {
  EXPECT_EQ(qor_utf8_seq("a", 1), 1u);
  EXPECT_EQ(qor_utf8_seq("\xC3\xA9", 2), 2u);
  EXPECT_EQ(qor_utf8_seq("\xE2\x82\xAC", 3), 3u);
  EXPECT_EQ(qor_utf8_seq("\xF4\x8F\xBF\xBF", 4), 4u);  // U+10FFFF
  EXPECT_EQ(qor_utf8_seq("\xC3\xA9", 1), 0u);          // cut off by the count
  EXPECT_EQ(qor_utf8_seq("\xE0\x9F\xBF", 3), 0u);      // overlong
  EXPECT_EQ(qor_utf8_seq("\xED\xA0\x80", 3), 0u);      // surrogate
  EXPECT_EQ(qor_utf8_seq("\xF4\x90\x80\x80", 4), 0u);  // above U+10FFFF
  EXPECT_EQ(qor_utf8_seq("\x80", 1), 0u);
  // The counted validator takes the count, not a terminating NUL.
  EXPECT_TRUE(qor_utf8_valid("a\0b", 3));
  EXPECT_FALSE(qor_utf8_valid("ok\xC3", 3));
  EXPECT_TRUE(qor_utf8_valid("ok\xC3", 2));
}
