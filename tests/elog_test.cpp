#include "service/elog.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
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

std::vector<std::string> split_datagrams(const std::string& out) {
  std::vector<std::string> grams;
  size_t at = 0, end;
  while ((end = out.find("\n@@\n", at)) != std::string::npos) {
    grams.push_back(out.substr(at, end - at));
    at = end + 4;
  }
  return grams;
}

constexpr int PROBE_SKIPPED = 77;

// The probe binds its own journal socket, or with no journal its own /dev/log,
// in a private mount namespace, reports twice and hands back the datagrams.
std::vector<std::string> probe(const char* sink, const char* lang) {
  ScopedEnv cap("QOR_EVENTLOG", nullptr), a("LC_ALL", nullptr), m("LC_MESSAGES", nullptr),
      l("LANG", lang);
  std::string out;
  int rc = run_tool("elog_probe", sink, &out);
  if (rc == PROBE_SKIPPED) return {};
  EXPECT_EQ(rc, 0);
  std::vector<std::string> grams = split_datagrams(out);
  EXPECT_EQ(grams.size(), 2u);
  grams.resize(2);
  return grams;
}

}  // namespace

TEST(Elog, JournalOrSyslogGetTheFieldsAndTheLocaleText) {
  std::vector<std::string> grams = probe("journal", "ja_JP.UTF-8");
  if (grams.empty()) GTEST_SKIP() << "no private mount namespace";
  EXPECT_EQ(grams[0],
            "MESSAGE=65-101 Win32エラーが発生しました。理由: 6 10002a1\n"
            "PRIORITY=3\nSYSLOG_IDENTIFIER=qor\nQOR_EVENT_ID=0xC0000003\nQOR_EVENT_TYPE=1\n"
            "QOR_STRING1=6\nQOR_STRING2=10002a1\n");
  // A value with a line feed travels in the journal's length-prefixed form;
  // an error identifier reported as a warning gets a warning's priority.
  std::string text = "65-108 ホスト名multi\nlineのIPアドレスを取得できません。";
  std::string want = std::string("MESSAGE\n") + char(text.size()) + std::string(7, '\0') + text +
                     "\nPRIORITY=4\nSYSLOG_IDENTIFIER=qor\nQOR_EVENT_ID=0xC000000A\n"
                     "QOR_EVENT_TYPE=2\nQOR_STRING1\n" +
                     char(10) + std::string(7, '\0') + "multi\nline\n";
  EXPECT_EQ(grams[1], want);

  // Facility daemon (3) x 8 + priority: error 3, warning 4.
  grams = probe("syslog", "C.UTF-8");
  static const std::regex line0(
      R"re(<27>.* qor\[[0-9]+\]: 0xC0000003: 65-101 A WIN32 error has occured: 6 10002a1\.)re");
  static const std::regex line1(
      R"re(<28>.* qor\[[0-9]+\]: 0xC000000A: 65-108 Unable to resolve the host name: multi\nline)re");
  EXPECT_TRUE(std::regex_match(grams[0], line0)) << grams[0];
  EXPECT_TRUE(std::regex_match(grams[1], line1)) << grams[1];
}

TEST(Elog, FormatFillsInsertionStringsInEitherLanguage) {
  EXPECT_EQ(format(NS_EV_WIN32, QOR_LANG_JAPANESE, {"6", "10002a1"}),
            "65-101 Win32エラーが発生しました。理由: 6 10002a1");
  EXPECT_EQ(format(NS_EV_DUPLICATE, QOR_LANG_JAPANESE, {"prn1", "lp"}),
            "65-105 クラス'lp'のオブジェクト'prn1'が重複しています。後に出てきた方を無視します。");
  EXPECT_EQ(format(NS_EV_STARTED, QOR_LANG_JAPANESE, {}),
            "Varnelithネームサービス(QOR)を開始しました。");
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
  // The capture keeps the English text whatever the locale; JSON escapes quotes,
  // backslashes, controls and bytes that are not UTF-8; an identifier outside the
  // table keeps its strings.
  EXPECT_EQ(NS__Log_SS(NS_EVENT_WARNING, 0xC0000099, "a\"b\\c", "t\n\x01\x7f\xc3\xa9\xff"),
            NS_S_OK);
  std::vector<std::string> lines = cap.lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(
      lines[0],
      R"({"id":"0xC0000003","type":1,"strings":["6","10002a1"],"text":"65-101 A WIN32 error has occured: 6 10002a1."})");
  EXPECT_EQ(lines[3], R"({"id":"0xC0000099","type":2,"strings":["a\"b\\c","t\n\u0001)"
                      "\x7f\xc3\xa9"
                      R"(\u00ff"],"text":"event 0xC0000099: a\"b\\c t\n\u0001)"
                      "\x7f\xc3\xa9"
                      R"(\u00ff"})");
}
