#include "platform/textline.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/mbstring.h"

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

// One sequence each: its length as the decoder reads it (0: not valid), which the validators,
// counted and NUL-terminated, must agree with.
TEST(TextLine, Utf8SequencesAndValidators) {
  const struct {
    const char* text;
    size_t seq;
  } cases[] = {
      {"a", 1},
      {"\xC3\xA9", 2},
      {"\xE2\x82\xAC", 3},
      {"\xED\x9F\xBF", 3},  // just below the surrogates
      {"\xF0\x9F\x96\xA8", 4},
      {"\xF4\x8F\xBF\xBF", 4},  // U+10FFFF
      {"\x80", 0},              // a continuation byte alone
      {"\xC0\xAF", 0},          // overlong
      {"\xC1\xBF", 0},
      {"\xE0\x80\xAF", 0},
      {"\xE0\x9F\xBF", 0},
      {"\xED\xA0\x80", 0},      // surrogate
      {"\xF4\x90\x80\x80", 0},  // above U+10FFFF
      {"\xF5\x80\x80\x80", 0},
      {"\xE6\x97", 0},  // cut short
      {"\xFF", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
    size_t n = std::strlen(c.text);
    EXPECT_EQ(qor_utf8_seq(c.text, n), c.seq);
    EXPECT_EQ(qor_utf8_valid(c.text, n), c.seq != 0);
    EXPECT_EQ(qor_utf8_valid(c.text), c.seq != 0);
    EXPECT_EQ(qor_utf8_valid(("plain " + std::string(c.text)).c_str()), c.seq != 0);
  }
  EXPECT_EQ(qor_utf8_seq("\xC3\xA9", 1), 0u);  // cut off by the count
  EXPECT_TRUE(qor_utf8_valid(""));
  EXPECT_TRUE(qor_utf8_valid("\xE6\x97\xA5\xE6\x9C\xAC"));
  EXPECT_FALSE(qor_utf8_valid(nullptr));
  // The counted validator takes the count, not a terminating NUL.
  EXPECT_TRUE(qor_utf8_valid("a\0b", 3));
  EXPECT_FALSE(qor_utf8_valid("ok\xC3", 3));
  EXPECT_TRUE(qor_utf8_valid("ok\xC3", 2));
}
