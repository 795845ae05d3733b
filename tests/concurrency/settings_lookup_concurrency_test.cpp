// Settings reads and host lookups run on RPC call threads at once: the value's guard must
// exclude threads of one process as it excludes processes, and parallel lookups must agree.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "../testutil.h"
#include "platform/hostlookup.h"
#include "service/qorutil.h"

namespace {

TEST(ConcurrencySettings, ThreadsWaitForTheGuardHeldByAnotherThread) {
  ScopedSettingsFile settings;
  settings.Write("Shared = dword:1\n");
  int guard = qor_setting_guard_take("Shared");
  ASSERT_GE(guard, 0);

  std::atomic<int> started{0};
  std::vector<uint32_t> seen(4, 0);
  std::vector<std::thread> readers;
  for (size_t i = 0; i < seen.size(); ++i) {
    readers.emplace_back([&, i] {
      started.fetch_add(1);
      seen[i] = NS__GetRegInt("Shared", 0);
    });
  }
  while (started.load() < static_cast<int>(seen.size())) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  settings.Write("Shared = dword:2\n");  // changed while the guard is held
  qor_setting_guard_release(guard);
  for (std::thread& t : readers) t.join();
  for (uint32_t v : seen) EXPECT_EQ(v, 2u);
}

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
