// Readers and writers of the registry at once: lookups that follow associations (giving the lock up
// between the hops), family listings, and writers creating and deleting servers and printers. Every
// answer must be one the registry could give at some moment, nothing may deadlock, and the files
// written must load to the registry left in memory.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "../registry_testutil.h"

using namespace regtest;

namespace {

using ConcurrencyRegistry = RegistryTest;

TEST_F(ConcurrencyRegistry, ReadersAndWritersSeeConsistentAnswers) {
  constexpr int kNames = 8;
  std::atomic<bool> done{false};
  std::atomic<int> lookups{0}, found{0};

  auto writer = [&](int wid) {
    for (int i = 0; i < 150; i++) {
      // Each server in turn is created twice, given a printer and deleted.
      std::string server = std::string("s").append(std::to_string((i / 4 + wid) % kNames));
      std::string printer = std::string("p").append(std::to_string((i * 3 + wid) % kNames));
      switch ((i + wid) % 4) {
        case 0:
        case 1: {
          std::string binding = "ncacn_ip_tcp:10.0.0." + std::to_string(wid) + "[" + server + "]";
          Server sv({binding.c_str()}, "h", wid);
          EXPECT_EQ(create_server(NS_CLASS_SPOOLER, server.c_str(), sv, 1), NS_S_OK);
          break;
        }
        case 2: {
          int status = create_assoc(i % 2 ? NS_CLASS_LP : NS_CLASS_PP, printer.c_str(),
                                    id(NS_CLASS_ANYSVR, server.c_str()), 1);
          // 17: the printer's current association is dangling, which the family lookup reports.
          EXPECT_TRUE(status == NS_S_OK || status == NS_S_NOTARGET) << status;
          break;
        }
        default:
          int status = delete_obj(NS_CLASS_SPOOLER, server.c_str());
          EXPECT_TRUE(status == NS_S_OK || status == NS_S_NOENTRY) << status;
      }
    }
  };
  auto reader = [&](int seed) {
    unsigned i = seed;
    while (!done.load()) {
      std::string printer = std::string("p").append(std::to_string(i++ % kNames));
      Lookup r = get(NS_CLASS_ANYPRN, printer.c_str());
      if (r.status == NS_S_OK) {
        found++;
        EXPECT_EQ(r.server_class, NS_CLASS_SPOOLER);
        ASSERT_EQ(r.bindings.size(), 1u);
        // The binding names the server it belongs to.
        EXPECT_NE(r.bindings[0].find("[" + r.server + "]"), std::string::npos);
      } else {
        EXPECT_TRUE(r.status == NS_S_NOENTRY || r.status == NS_S_NOTARGET) << r.status;
        EXPECT_EQ(r.objclass, NS_CLASS_NONE);
      }
      names(NS_CLASS_ANYPRN);  // and a family listing meanwhile
      lookups++;
    }
  };

  std::vector<std::thread> readers, writers;
  for (int i = 0; i < 2; i++) readers.emplace_back(reader, i);
  for (int i = 1; i <= 2; i++) writers.emplace_back(writer, i);
  for (auto& t : writers) t.join();
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_GT(lookups.load(), 0);
  EXPECT_GT(found.load(), 0);  // some lookups reached a server while the writers ran

  auto spoolers = names(NS_CLASS_SPOOLER);
  auto printers = names(NS_CLASS_ANYPRN);
  ASSERT_EQ(restart(), NS_S_OK);
  EXPECT_EQ(names(NS_CLASS_SPOOLER), spoolers);
  EXPECT_EQ(names(NS_CLASS_ANYPRN), printers);
}

}  // namespace
