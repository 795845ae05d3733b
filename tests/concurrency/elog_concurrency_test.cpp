// Reports from many threads at once reach the capture file whole.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "../testutil.h"
#include "registry/status.h"

TEST(ConcurrencyElog, ReportsFromManyThreadsKeepTheirLinesWhole) {
  ElogCapture cap;
  constexpr int THREADS = 6, REPORTS = 200;
  std::atomic<int> bad_status{0};
  std::vector<std::thread> ts;
  for (int t = 0; t < THREADS; t++) {
    ts.emplace_back([&, t] {
      // Long enough that a line split over several writes would show.
      std::string name(3000, static_cast<char>('a' + t));
      for (int i = 0; i < REPORTS; i++)
        if (NS__Log_SS(NS_EVENT_WARNING, NS_EV_DUPLICATE, name.c_str(), "lp") != NS_S_OK)
          bad_status++;
    });
  }
  for (std::thread& t : ts) t.join();
  EXPECT_EQ(bad_status.load(), 0);
  std::vector<std::string> lines = cap.lines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(THREADS * REPORTS));
  for (const std::string& line : lines) {
    char c = line.size() > 40 ? line[40] : '?';
    std::string name(3000, c);
    ASSERT_EQ(line, R"({"id":"0x80000007","type":2,"strings":[")" + name +
                        R"(","lp"],"text":"65-105 An object )" + name +
                        R"( has been duplicated for class lp. The latter one is ignored."})");
  }
}
