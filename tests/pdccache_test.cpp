// The PDC address cache through its calls: the preload file, entries learned
// from the domain directory and their expiry. The eviction order is shown
// through the forwarding (forwarding_test.cpp), with a cache of two entries.
#include "federation/pdccache.h"

#include "federation_testutil.h"

using namespace fedtest;

namespace {

using PdcCache = FederationTest;

// The cached domains, in key order.
std::string cached(unsigned long mask = ~0ul) {
  std::string out;
  auto add = [](const char* domain, pdcadrs*, unsigned long, void* priv) {
    *static_cast<std::string*>(priv) += std::string(domain) + " ";
    return 0;
  };
  EXPECT_EQ(NS__PdcEnumEntry(mask, add, &out), NS_S_OK);
  return out;
}

TEST_F(PdcCache, PreloadFileGivesPermanentEntriesAndReportsBadLines) {
  configure("", "10.0.1.1 pdc2.test\n10.0.1.2 pdc2.test\n", "PdcCachePeriod = dword:10\n");
  ASSERT_EQ(start("# controllers of the other domains\nPRE1 10.0.0.1\npre1 10.0.0.9\n"
                  "PRE2 pdc2.test\nLONELY\nBAD nosuch.invalid\n \tTABS\t10.3 ignored\r\n"),
            NS_S_OK);
  EXPECT_EQ(events(),
            (std::vector<std::string>{R"("0xC000000B","type":1,"strings":["LONELY"])",
                                      R"("0xC000000A","type":2,"strings":["nosuch.invalid"])",
                                      R"("0xC000000B","type":1,"strings":["BAD"])"}));
  advance(100000);  // preloaded entries never expire
  EXPECT_EQ(lookup("pre1"), "0 1: 10.0.0.1");
  EXPECT_EQ(lookup("PRE2"), "0 1: 10.0.1.1 10.0.1.2");
  EXPECT_EQ(lookup("tabs"), "0 1: 10.3");  // a literal is kept as written
  EXPECT_EQ(cached(NS_PDC_PRELOAD), "PRE1 PRE2 TABS ");
}

TEST_F(PdcCache, LearnedEntriesLiveThePeriodFromTheirAddition) {
  configure("SALES pdc-sales\nHR 10.2.0.1\nWG -\nGHOST ghost.invalid\nsales 10.5.5.5\n",
            "10.1.0.1 pdc-sales\n10.1.0.2 pdc-sales\n",
            "PdcCachePeriod = dword:100\nLanGroup = sz:HR\n");
  ASSERT_EQ(start(""), NS_S_OK);
  EXPECT_EQ(lookup("sales"), "0 2: 10.1.0.1 10.1.0.2");  // the first of two records
  EXPECT_EQ(lookup("HR"), "0 2: 10.2.0.1");
  EXPECT_EQ(lookup("wg"), "0 16:");
  EXPECT_EQ(lookup("NOWHERE"), "0 16:");
  EXPECT_EQ(lookup("\xff"), "19");
  EXPECT_EQ(lookup(""), "19");  // the directory would answer the own LAN group's controller
  // An unresolvable controller is reported at each lookup and never cached.
  EXPECT_EQ(lookup("GHOST"), "19");
  EXPECT_EQ(lookup("ghost"), "19");
  EXPECT_EQ(events(),
            std::vector<std::string>(2, R"("0xC000000A","type":2,"strings":["ghost.invalid"])"));
  // The directory changes; entries are served until their period, counted
  // from their addition, ends: the use at 99 s does not lengthen it.
  configure("SALES 10.9.9.9\nWG 10.8.8.8\n");
  advance(99);
  EXPECT_EQ(lookup("SALES"), "0 2: 10.1.0.1 10.1.0.2");
  EXPECT_EQ(lookup("WG"), "0 16:");
  advance(1);
  EXPECT_EQ(lookup("Sales"), "0 2: 10.9.9.9");
  EXPECT_EQ(lookup("WG"), "0 2: 10.8.8.8");
  EXPECT_EQ(lookup("HR"), "0 16:");
  // A directory that cannot be read: 7, nothing cached.
  settings.Write("DomainDirectory = sz:" + settings.dir() + "\n");
  EXPECT_EQ(lookup("NEW"), "7");
  EXPECT_EQ(cached(), "HR NOWHERE Sales WG ");
}

}  // namespace
