#include "service/elog.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "registry/status.h"
#include "service/elog_messages.h"
#include "testutil.h"

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

TEST(Elog, ConsoleModeWritesTheLocaleTextToStandardError) {
  ElogCapture cap;
  testing::internal::CaptureStderr();
  {
    ScopedEnv a("LC_ALL", nullptr), m("LC_MESSAGES", nullptr), l("LANG", "ja_JP.UTF-8");
    qor_elog_set_console(true);
    EXPECT_EQ(NS__Log_UU(NS_EVENT_ERROR, NS_EV_WIN32, 6, 0x10002a1), NS_S_OK);
    EXPECT_EQ(NS__Log_S(NS_EVENT_WARNING, NS_EV_NO_HOSTADDR, "pdc"), NS_S_OK);
    qor_elog_set_console(false);
    EXPECT_EQ(NS__LogWrite(NS_EVENT_INFORMATION, NS_EV_STARTED, 0, nullptr), NS_S_OK);
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "qor: error 0xC0000003: 65-101 Win32エラーが発生しました。理由: 6 10002a1\n"
            "qor: warning 0xC000000A: 65-108 ホスト名pdcのIPアドレスを取得できません。\n");
  // The capture keeps the English text whatever the locale.
  std::vector<std::string> lines = cap.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(
      lines[0],
      R"({"id":"0xC0000003","type":1,"strings":["6","10002a1"],"text":"65-101 A WIN32 error has occured: 6 10002a1."})");
}
