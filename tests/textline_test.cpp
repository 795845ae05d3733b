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
  auto check = [](const char* text, size_t seq) {
    SCOPED_TRACE(testing::PrintToString(std::string(text)));
    size_t n = std::strlen(text);
    EXPECT_EQ(qor_utf8_seq(text, n), seq);
    EXPECT_EQ(qor_utf8_valid(text, n), seq != 0);
    EXPECT_EQ(qor_utf8_valid(text), seq != 0);
    EXPECT_EQ(qor_utf8_valid(("plain " + std::string(text)).c_str()), seq != 0);
  };
  // Up to U+10FFFF, and just below the surrogates.
  for (const char* good :
       {"a", "\xC3\xA9", "\xE2\x82\xAC", "\xED\x9F\xBF", "\xF0\x9F\x96\xA8", "\xF4\x8F\xBF\xBF"}) {
    check(good, std::strlen(good));
  }
  // A continuation byte alone, overlong forms, a surrogate, values above U+10FFFF, a sequence
  // cut short, 0xFF.
  for (const char* bad :
       {"\x80", "\xC0\xAF", "\xC1\xBF", "\xE0\x80\xAF", "\xE0\x9F\xBF", "\xED\xA0\x80",
        "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xE6\x97", "\xFF"}) {
    check(bad, 0);
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
