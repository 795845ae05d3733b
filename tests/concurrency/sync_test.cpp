#include "platform/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "../testutil.h"
#include "platform/lasterror.h"
#include "registry/status.h"

TEST(ConcurrencySync, SemaphoreTakenByOneThreadIsGivenBackByAnother) {
  qor_semaphore s;
  EXPECT_TRUE(s.acquire());
  EXPECT_FALSE(s.try_acquire());
  std::atomic<bool> got{false};
  std::thread waiter([&] {
    s.acquire();
    got = true;
  });
  std::thread giver([&] { EXPECT_TRUE(s.release()); });
  giver.join();
  waiter.join();
  EXPECT_TRUE(got.load());
  // The waiter holds it now; this thread gives it back.
  EXPECT_TRUE(s.release());
  // A second give-back would pass the maximum of 1.
  qor_set_last_error(0);
  EXPECT_FALSE(s.release());
  EXPECT_EQ(qor_get_last_error(), QOR_ERROR_TOO_MANY_POSTS);
  EXPECT_TRUE(s.try_acquire());
}

// Many threads handing one semaphore on: every waiter is woken in the end and
// nobody is ever inside twice.
TEST(ConcurrencySync, SemaphorePassesBetweenManyThreadsOneAtATime) {
  qor_semaphore s(false);
  constexpr int THREADS = 6, ROUNDS = 2000;
  std::atomic<int> inside{0}, violations{0};
  long count = 0;  // only touched while holding the semaphore
  std::vector<std::thread> ts;
  for (int t = 0; t < THREADS; t++) {
    ts.emplace_back([&] {
      for (int i = 0; i < ROUNDS; i++) {
        s.acquire();
        if (inside.fetch_add(1) != 0) violations++;
        count++;
        inside.fetch_sub(1);
        s.release();
      }
    });
  }
  s.release();  // created taken: opening it lets the threads run
  for (std::thread& t : ts) t.join();
  EXPECT_EQ(violations.load(), 0);
  EXPECT_EQ(count, THREADS * ROUNDS);
}

TEST(ConcurrencySync, EventWakesEveryWaiterAndStaysSignalled) {
  qor_event ev;
  EXPECT_EQ(ev.wait(0), QOR_WAIT_TIMEOUT);
  EXPECT_EQ(ev.wait(10), QOR_WAIT_TIMEOUT);
  std::atomic<int> woken{0};
  std::vector<std::thread> ts;
  for (int i = 0; i < 4; i++)
    ts.emplace_back([&] {
      if (ev.wait() == QOR_WAIT_SIGNALLED) woken++;
    });
  std::thread signaller([&] {
    EXPECT_TRUE(ev.signal());
    EXPECT_TRUE(ev.signal());  // twice is harmless
  });
  signaller.join();
  for (std::thread& t : ts) t.join();
  EXPECT_EQ(woken.load(), 4);
  EXPECT_EQ(ev.wait(0), QOR_WAIT_SIGNALLED);
  EXPECT_EQ(ev.wait(60000), QOR_WAIT_SIGNALLED);
  ev.reset();
  EXPECT_EQ(ev.wait(0), QOR_WAIT_TIMEOUT);
}

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
