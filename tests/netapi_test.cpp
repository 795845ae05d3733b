#include "platform/netapi.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/hostlookup.h"
#include "platform/memory.h"
#include "testutil.h"

namespace {

std::string Dotted(in_addr a) {
  char buf[16];
  return qor_inet_ntoa(a, buf);
}

// The hosts file of the lookup tests: one host under several lines, an alias in other letter
// case, an IPv6 line and comments.
constexpr const char* kHosts =
    "# test hosts\n"
    "10.0.0.1   pdc01.sales.example  pdc01   # the controller\n"
    "10.0.0.2\tpdc01.sales.example\r\n"
    "10.0.0.3   other  PDC01\n"
    "::1        pdc01\n"
    "not-an-address  pdc01\n";

// The hosts file answers for a name in any letter case with every address listed for it, in
// file order; its IPv6 and malformed lines are skipped.
TEST(HostLookup, HostsFileGivesEveryAddressOfAName) {
  ScopedSettingsFile settings;
  settings.Write("HostsFile = sz:" + settings.WriteFile("hosts", kHosts) + "\n");
  qor_hostent* e = nullptr;
  ASSERT_EQ(qor_host_by_name("Pdc01", &e), QOR_HOST_OK);
  std::vector<std::string> addrs;
  for (uint32_t i = 0; i < e->naddrs; ++i) addrs.push_back(Dotted(e->addrs[i]));
  EXPECT_EQ(addrs, (std::vector<std::string>{"10.0.0.1", "10.0.0.3"}));
  qor_host_free(e);
}

TEST(HostLookup, DottedLiteralTest) {
  for (auto [text, dotted] : {std::pair{"10.1", "10.0.0.1"},
                              {"10.1.2", "10.1.0.2"},
                              {"0x7f.1", "127.0.0.1"},
                              {"010.0.0.1", "8.0.0.1"},
                              {"255.255.255.255", "255.255.255.255"},
                              {"4294967295", "255.255.255.255"}}) {
    in_addr a{};
    ASSERT_TRUE(qor_inet_addr(text, &a)) << text;
    EXPECT_EQ(Dotted(a), dotted) << text;
  }
  for (const char* text :
       {"1.2.3.256", "1.2.3.4.", "1..2", ".1.2.3", "1.2.3.4.5", "pdc01", "", " 1.2.3.4", "1.2.3.4 ",
        "08", "0x", "4294967296", "1.16777216", "256.1", "1.2.65536"}) {
    in_addr a{};
    EXPECT_FALSE(qor_inet_addr(text, &a)) << text;
  }
}

// Samba's rules: parameters before the first section are global, a later definition replaces an
// earlier one, other sections' parameters are not the workgroup.
TEST(NetWksta, WorkgroupIsTheLastOfTheGlobalSection) {
  ScopedSettingsFile settings;
  std::string path = settings.WriteFile(
      "smb.conf", "workgroup = EARLY\n[homes]\nworkgroup = HOMES\n[ Global ]\n WorkGroup =  SALES \n");
  char* group = qor_smb_workgroup(path.c_str());
  EXPECT_STREQ(group, "SALES");
  qor_free(group);
}

}  // namespace
