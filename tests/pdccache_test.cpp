// The PDC address cache through its calls: the preload file. Entries learned from the
// domain directory, their expiry and eviction are shown through the managers and the
// forwarding (qorop_test.cpp, forwarding_test.cpp).
#include "federation/pdccache.h"

#include "federation_testutil.h"

using namespace fedtest;

namespace {

using PdcCache = FederationTest;

TEST_F(PdcCache, PreloadFileGivesPermanentEntriesAndReportsBadLines) {
  configure("", "10.0.1.1 pdc2.test\n10.0.1.2 pdc2.test\n", "PdcCachePeriod = dword:10\n");
  const std::string lonely(600, 'L');  // a report longer than the event log's stack buffers
  ASSERT_EQ(start("# controllers of the other domains\nPRE1 10.0.0.1\npre1 10.0.0.9\n"
                  "PRE2 pdc2.test\n" +
                  lonely + "\nBAD nosuch.invalid\n \tTABS\t10.3 ignored\r\n"),
            NS_S_OK);
  EXPECT_EQ(events(),
            (std::vector<std::string>{R"("0xC000000B","type":1,"strings":[")" + lonely + R"("])",
                                      R"("0xC000000A","type":2,"strings":["nosuch.invalid"])",
                                      R"("0xC000000B","type":1,"strings":["BAD"])"}));
  advance(100000);  // preloaded entries never expire
  EXPECT_EQ(lookup("pre1"), "0 1: 10.0.0.1");
  EXPECT_EQ(lookup("PRE2"), "0 1: 10.0.1.1 10.0.1.2");
  EXPECT_EQ(lookup("tabs"), "0 1: 10.3");  // a literal is kept as written
  std::string preloaded;                   // in key order
  auto add = [](const char* domain, pdcadrs*, unsigned long, void* out) {
    *static_cast<std::string*>(out) += std::string(domain) + " ";
    return 0;
  };
  EXPECT_EQ(NS__PdcEnumEntry(NS_PDC_PRELOAD, add, &preloaded), NS_S_OK);
  EXPECT_EQ(preloaded, "PRE1 PRE2 TABS ");
}

}  // namespace
