#include "service/qorutil.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/memory.h"
#include "testutil.h"

namespace {

std::vector<std::string> Take(char** array) {  // and frees it
  std::vector<std::string> out;
  for (char** p = array; *p != nullptr; ++p) {
    out.emplace_back(*p);
    qor_free(*p);
  }
  qor_free(array);
  return out;
}

// Reads a string setting and hands it back as text; "<default>" when the default came back.
std::string Str(const char* key) {
  static char def[] = "<default>";
  char* value = NS__GetRegStr(key, def);
  if (value == def) return def;
  std::string out = value;
  qor_free(value);
  return out;
}

char kDefElem[] = "ncacn_ip_tcp";
char* kDefList[] = {kDefElem, nullptr};

TEST(Settings, EachTypeReadsItsValueAndOthersGiveTheDefault) {
  ScopedSettingsFile settings;
  ScopedEnv home("QOR_TEST_HOME", std::string(218, 'q').c_str());  // 256 bytes expanded
  settings.Write(
      "\xEF\xBB\xBF"  // the byte-order mark some editors write
      "PdcCachePeriod=dword:0x1C20\n"
      "# qor settings\n"
      "\n"
      "MaxRetry = dword:42\n"
      "Big = dword:0xFFFFFFFF\n"
      "  QorDataDirectory   =   sz:  /var/lib/qor data  \n"
      "Expanded = expand_sz:%QOR_TEST_HOME%/qor and %QOR_TEST_UNDEFINED_VAR% 100%\n"
      "Protocols = multi_sz:ncacn_ip_tcp, ncalrpc ,a\\,b,c\\\\d,e\\x\n"
      "Typed = DWORD:7\n"
      "Gap = multi_sz:a,b,c,d,e,f,g,h,i,,j\n"
      "Empty = multi_sz:\n"
      // Names ignore letter case; a later line wins, whatever its type.
      "rpcmaxcall = dword:20\n"
      "RpcMaxCall = sz:text\n"
      "maxretry = dword:5\n");
  EXPECT_EQ(NS__GetRegInt("MAXRETRY", 10), 5u);
  EXPECT_EQ(NS__GetRegInt("PdcCachePeriod", 1), 7200u);
  EXPECT_EQ(NS__GetRegInt("Big", 1), 0xFFFFFFFFu);
  // A guard the shared directory cannot give (a link in its lock file's place) is taken in the
  // account's own directory under TMPDIR instead, never in one that others may enter.
  ScopedEnv tmp("TMPDIR", settings.dir().c_str());
  unlink("/run/lock/qor/Typed");
  ASSERT_EQ(symlink("/nowhere", "/run/lock/qor/Typed"), 0);
  EXPECT_EQ(NS__GetRegInt("Typed", 1), 7u);
  chmod((settings.dir() + "/qor-lock-" + std::to_string(geteuid())).c_str(), 0755);
  EXPECT_EQ(NS__GetRegInt("Typed", 1), 1u);
  unlink("/run/lock/qor/Typed");
  EXPECT_EQ(Str("QorDataDirectory"), "/var/lib/qor data");
  EXPECT_EQ(Str("Expanded"), std::string(218, 'q') + "/qor and %QOR_TEST_UNDEFINED_VAR% 100%");

  char** list = NS__GetRegStrArray("Protocols", kDefList);
  ASSERT_NE(list, nullptr);
  ASSERT_NE(list, kDefList);
  EXPECT_EQ(Take(list),
            (std::vector<std::string>{"ncacn_ip_tcp", "ncalrpc", "a,b", "c\\d", "e\\x"}));
  // Grows past its first slots, ends at an empty element.
  EXPECT_EQ(Take(NS__GetRegStrArray("Gap", kDefList)),
            (std::vector<std::string>{"a", "b", "c", "d", "e", "f", "g", "h", "i"}));
  EXPECT_EQ(NS__GetRegStrArray("Empty", kDefList), nullptr);  // present but empty
  EXPECT_EQ(NS__GetRegInt("RpcMaxCall", 90), 90u);
  EXPECT_EQ(Str("rpcMAXcall"), "text");

  // A value of another type gives the default pointer itself.
  char def[] = "def";
  EXPECT_EQ(NS__GetRegStr("Protocols", def), def);
  EXPECT_EQ(NS__GetRegStrArray("Expanded", kDefList), kDefList);
}

TEST(Settings, MalformedLinesAreIgnoredAndLeaveEarlierValuesStanding) {
  ScopedSettingsFile settings;
  std::string long_line = "Long = sz:" + std::string(70000, 'x') + "\n";
  settings.Write(
      "Retry = dword:3\r\n"          // CRLF line end
      "Retry = dword:12abc\n"        // not a number
      "Retry = dword:-1\n"           // no sign
      "Retry = dword:0x100000000\n"  // more than 32 bits
      "Retry = dword:0x1g\n"         // not a hexadecimal digit
      "Retry = dword:1x5\n"          // x only after a leading 0
      "Retry = qword:5\n"            // unknown type
      "Retry dword:6\n"              // no '='
      "Retry = 7\n"                  // no type
      " = dword:8\n"                 // no name
      "Bad = sz:caf\xC3\n"           // invalid UTF-8
      "Bad2 = sz:a\n" +
      long_line +
      "Bad2 = sz:b\xED\xA0\x80\n"  // a surrogate in UTF-8
      "# Retry = dword:9\n"
      "   # Retry = dword:10\n"
      "Name = sz:caf\xC3\xA9\r\n");
  EXPECT_EQ(NS__GetRegInt("Retry", 1), 3u);
  EXPECT_EQ(Str("Bad"), "<default>");
  EXPECT_EQ(Str("Bad2"), "a");
  EXPECT_EQ(Str("Long"), "<default>");
  EXPECT_EQ(Str("Name"), "caf\xC3\xA9");
}

}  // namespace
