// The PDC address cache through its calls: the preload file, and how long learned
// controllers are kept. Eviction and the name service's classifications are shown
// through the forwarding (forwarding_test.cpp).
#include "federation/pdccache.h"

#include "federation_testutil.h"

using namespace fedtest;

namespace {

using PdcCache = FederationTest;

TEST_F(PdcCache, PreloadedEntriesStayAndLearnedOnesExpireAPeriodAfterTheyWereLearned) {
  const std::string directory = "SALES dcs\nGONE nosuch.invalid\n",
                    period = "PdcCachePeriod = dword:10\n";
  configure(directory, "10.0.1.1 pdc2.test\n10.0.1.2 pdc2.test\n10.0.6.1 dcs\n", period);
  const std::string lonely(600, 'L');  // a report longer than the event log's stack buffers
  ASSERT_EQ(start("\xEF\xBB\xBF# controllers of the other domains\nPRE1 10.0.0.1\npre1 10.0.0.9\n"
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
  // Learned: its type kept, expiring a period after it was learned; never if it does not resolve.
  EXPECT_EQ(lookup("SALES"), "0 2: 10.0.6.1");
  EXPECT_EQ(NS__PdcSetType("SALES", NS_PDC_NSFOUND), NS_S_OK);
  configure(directory, "10.0.6.2 dcs\n", period);
  advance(9);
  EXPECT_EQ(lookup("sales"), "0 2: 10.0.6.1");
  advance(1);
  EXPECT_EQ(lookup("SALES"), "0 2: 10.0.6.2");
  for (int i = 0; i < 2; ++i) EXPECT_EQ(lookup("GONE"), "19");
  EXPECT_EQ(events().size(), 5u);
}

}  // namespace
