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

  // Registers S anew without force; on a refusal checks that nothing changed.
  int reregister(std::vector<const char*> bindings, const char* host) {
    std::string before = read_file(file("spooler"));
    auto bindings_before = get(NS_CLASS_SPOOLER, "S").bindings;
    Server sv(bindings, host, 9);
    int status = create_server(NS_CLASS_SPOOLER, "S", sv);
    if (status != NS_S_OK) {
      EXPECT_EQ(read_file(file("spooler")), before);
      EXPECT_EQ(get(NS_CLASS_SPOOLER, "S").bindings, bindings_before);
    } else {
      EXPECT_EQ(get(NS_CLASS_SPOOLER, "S").bindings,
                std::vector<std::string>(bindings.begin(), bindings.end()));
    }
    return status;
  }
};

TEST_F(ServerOverwrite, SameMachineReplacesAnotherGets16) {
  // Host name in other letter case; the name resolves to both addresses of the host.
  EXPECT_EQ(reregister({"ncacn_ip_tcp:printhost[6000]"}, "printhost"), NS_S_OK);
  // A literal is widened through its reverse entry: 10.9.0.2 is printhost too.
  EXPECT_EQ(reregister({"ncacn_ip_udp:10.9.0.2[7000]"}, "PRINTHOST"), NS_S_OK);
  // Another host name.
  EXPECT_EQ(reregister({"ncacn_ip_tcp:10.9.0.1[5000]"}, "otherbox"), NS_S_EXISTS);
  // A binding that cannot be resolved: 19.
  EXPECT_EQ(reregister({"ncacn_ip_tcp:no-such-host.invalid[1]"}, "printhost"), NS_S_SYSFAIL);
  // The same host name but no address in common.
  EXPECT_EQ(reregister({"ncacn_ip_tcp:10.9.0.3[5000]"}, "printhost"), NS_S_EXISTS);
  // Only the first tcp/udp binding counts; without one, the host name alone.
  EXPECT_EQ(reregister({"ncacn_np:printhost[\\pipe\\a]", "ncalrpc:[x]"}, "PRINTHOST"), NS_S_OK);
  EXPECT_EQ(reregister({"ncacn_np:printhost[\\pipe\\a]"}, "otherbox"), NS_S_EXISTS);
  // The current record now has no tcp/udp binding: the new one's addresses do not matter.
  EXPECT_EQ(reregister({"ncacn_ip_tcp:10.9.0.3[1]"}, "printhost"), NS_S_OK);
  // A binding that does not parse is skipped.
  EXPECT_EQ(reregister({"not a binding", "ncacn_ip_tcp:10.9.0.3[2]"}, "printhost"), NS_S_OK);
  // With force anything goes.
  Server sv({"ncacn_ip_tcp:10.9.0.3[5000]"}, "otherbox");
  EXPECT_EQ(create_server(NS_CLASS_SPOOLER, "S", sv, 1), NS_S_OK);
}

TEST_F(ServerOverwrite, EveryAllocationFailureOfTheRuleChangesNothing) {
  for (long n = 1;; n++) {
    std::string before = read_file(file("spooler"));
    Server sv({"ncacn_ip_tcp:printhost[6000]"}, "printhost", 9);
    qor_alloc_fail_at(n);
    int status = create_server(NS_CLASS_SPOOLER, "S", sv);
    bool failed = qor_alloc_failed();
    qor_alloc_fail_at(0);
    if (!failed) {
      EXPECT_EQ(status, NS_S_OK);
      EXPECT_GT(n, 5);
      break;
    }
    // The settings reader answers its default when memory runs out, and the
    // hosts file is then not consulted: the lookup fails (19) rather than 14.
    ASSERT_TRUE(status == NS_S_NOMEM || status == NS_S_SYSFAIL) << "n=" << n << " " << status;
    EXPECT_EQ(read_file(file("spooler")), before) << "n=" << n;
    EXPECT_EQ(get(NS_CLASS_SPOOLER, "S").bindings,
              (std::vector<std::string>{"ncacn_np:x[\\pipe\\s]", "ncacn_ip_tcp:10.9.0.1[5000]"}));
  }
}

}  // namespace
