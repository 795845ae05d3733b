#include "service/elog.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "registry/status.h"
#include "service/elog_messages.h"

namespace {

std::string format(uint32_t eid, int lang, std::vector<const char*> strings) {
  size_t n =
      qor_elog_format(eid, lang, static_cast<uint16_t>(strings.size()), strings.data(), nullptr, 0);
  std::string out(n + 1, '\0');
  EXPECT_EQ(qor_elog_format(eid, lang, static_cast<uint16_t>(strings.size()), strings.data(),
                            out.data(), out.size()),
            n);
  out.resize(n);
  return out;
}

}  // namespace

TEST(Elog, FormatFillsInsertionStringsInEitherLanguage) {
  EXPECT_EQ(format(NS_EV_WIN32, QOR_LANG_JAPANESE, {"6", "10002a1"}),
            "65-101 Win32エラーが発生しました。理由: 6 10002a1");
  // A missing insertion string stays as written; a "%" in a string is not expanded again.
  EXPECT_EQ(format(NS_EV_UNDO_REPLACE, QOR_LANG_ENGLISH, {"%2"}),
            "65-107 Unable to overwrite the object name %2 for class %2.");
  // Truncation keeps the terminator and still answers the whole length.
  char small[8];
  EXPECT_EQ(qor_elog_format(NS_EV_STARTED, QOR_LANG_ENGLISH, 0, nullptr, small, sizeof small),
            std::strlen("The Varnelith Name Service has started."));
  EXPECT_STREQ(small, "The Var");
}
