// Host lookups run on RPC call threads at once: parallel lookups must agree.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "../testutil.h"
#include "platform/hostlookup.h"

namespace {

TEST(ConcurrencyHostLookup, ParallelLookupsAgree) {
  ScopedSettingsFile settings;
  std::string hosts = settings.WriteFile("hosts",
                                         "10.0.0.1 pdc01.sales.example pdc01\n"
                                         "10.0.0.2 pdc01.sales.example\n");
  settings.Write("HostsFile = sz:" + hosts + "\n");
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        qor_hostent* e = nullptr;
        if (qor_host_by_name("pdc01", &e) != QOR_HOST_OK || e->naddrs != 1) wrong.fetch_add(1);
        qor_host_free(e);
        in_addr a{};
        inet_pton(AF_INET, "10.0.0.2", &a);
        if (qor_host_by_addr(a, &e) != QOR_HOST_OK || e->naddrs != 2) wrong.fetch_add(1);
        qor_host_free(e);
        if (qor_host_by_name("localhost", &e) != QOR_HOST_OK) wrong.fetch_add(1);
        qor_host_free(e);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
