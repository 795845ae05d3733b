// The server overwrite rule: a registration replaces the current one without
// force only from the same machine, decided by host name and by the addresses
// the bindings' hosts resolve to through the hosts file of the settings.
#include <gtest/gtest.h>

#include "registry_testutil.h"

using namespace regtest;

namespace {

class ServerOverwrite : public RegistryTest {
 protected:
  ScopedSettingsFile settings;
  void SetUp() override {
    RegistryTest::SetUp();
    settings.Write("HostsFile = sz:" + settings.WriteFile("hosts",
                                                          "10.9.0.1 printhost printhost.example\n"
                                                          "10.9.0.2 printhost\n"
                                                          "10.9.0.3 otherbox\n"));
    Server current({"ncacn_np:x[\\pipe\\s]", "ncacn_ip_tcp:10.9.0.1[5000]"}, "PrintHost", 1);
    ASSERT_EQ(create_server(NS_CLASS_SPOOLER, "S", current), NS_S_OK);
  }
};

// S registered again from its own machine, which the hosts file tells.
TEST_F(ServerOverwrite, EveryAllocationFailureOfTheRuleChangesNothing) {
  const std::string before = read_file(file("spooler"));
  Server sv({"ncacn_ip_tcp:printhost[6000]"}, "printhost", 9);
  EXPECT_GT(for_each_alloc_failure([&] {
              int status = create_server(NS_CLASS_SPOOLER, "S", sv);
              if (status == NS_S_OK) return true;
              // The settings reader answers its default when memory runs out, and the
              // hosts file is then not consulted: the lookup fails (19) rather than 14.
              EXPECT_TRUE(status == NS_S_NOMEM || status == NS_S_SYSFAIL) << status;
              EXPECT_EQ(read_file(file("spooler")), before);
              return false;
            }),
            5);
  // Another machine gets 16; a binding that cannot be resolved, 19.
  Server other({"ncacn_ip_tcp:10.9.0.3[5000]"}, "otherbox"), nowhere({"ncacn_ip_tcp:x.invalid[1]"}, "printhost");
  EXPECT_EQ(create_server(NS_CLASS_SPOOLER, "S", other), NS_S_EXISTS);
  EXPECT_EQ(create_server(NS_CLASS_SPOOLER, "S", nowhere), NS_S_SYSFAIL);
}

}  // namespace
