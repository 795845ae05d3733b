// The reader/writer lock on many threads: readers share it, a writer goes before the readers that
// arrive after it, its semaphores serve waiters in turn, and a lock given back too often says so.
#include "registry/rwlock_p.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../testutil.h"
#include "platform/lasterror.h"
#include "registry/status.h"

namespace {

// Liveness guard only: a broken lock shows as a failure instead of a hang.
constexpr auto PATIENCE = std::chrono::seconds(20);

// Polls `done` until it holds; false after PATIENCE.
template <typename F>
bool poll_until(F done) {
  auto until = std::chrono::steady_clock::now() + PATIENCE;
  while (std::chrono::steady_clock::now() < until) {
    if (done()) return true;
    std::this_thread::yield();
  }
  return false;
}

// n threads wait at a semaphore (of the lock: the readers' gate or the resource).
bool waits_at(qor_semaphore& s, int n = 1) {
  return poll_until([&] { return s.waiting() == n; });
}

class ConcurrencyRwlock : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(NS__LKInit(&ha_), NS_S_OK); }
  void TearDown() override { NS__LKTerm(ha_); }
  // A thread that takes the lock, notes `name` while holding it, and gives it back.
  std::thread taker(const char* name, bool write) {
    return std::thread([this, name, write] {
      EXPECT_EQ(write ? NS__LKWlock(ha_) : NS__LKRlock(ha_), NS_S_OK) << name;
      noted(name);
      EXPECT_EQ(NS__LKUnlock(ha_), NS_S_OK) << name;
    });
  }
  std::vector<std::string> noted(const char* name = nullptr) {
    std::lock_guard<std::mutex> hold(m_);
    if (name != nullptr) log_.push_back(name);
    return log_;
  }
  rwhandle_t* ha_ = nullptr;
  std::mutex m_;
  std::vector<std::string> log_;
};

}  // namespace

// The test's own holds stand between the takers: a reader gets in beside a read hold; a writer
// waits for it, and a reader arriving after the writer waits behind it; under a write hold a writer
// arriving after a queued reader still goes first.
TEST_F(ConcurrencyRwlock, ReadersShareAndWritersGoBeforeTheReadersThatArriveAfterThem) {
  ASSERT_EQ(NS__LKRlock(ha_), NS_S_OK);
  std::thread r1 = taker("R1", false);
  EXPECT_TRUE(poll_until([&] { return noted().size() == 1; }));
  r1.join();
  std::thread w1 = taker("W1", true);
  EXPECT_TRUE(waits_at(ha_->wblock));
  std::thread r2 = taker("R2", false);
  EXPECT_TRUE(waits_at(ha_->rblock));
  ASSERT_EQ(NS__LKUnlock(ha_), NS_S_OK);
  w1.join();
  r2.join();

  ASSERT_EQ(NS__LKWlock(ha_), NS_S_OK);
  std::thread r3 = taker("R3", false);
  EXPECT_TRUE(waits_at(ha_->rblock));
  std::thread w2 = taker("W2", true);
  EXPECT_TRUE(waits_at(ha_->wblock));
  ASSERT_EQ(NS__LKUnlock(ha_), NS_S_OK);
  r3.join();
  w2.join();
  EXPECT_EQ(noted(), (std::vector<std::string>{"R1", "W1", "R2", "W2", "R3"}));
}

// A release hands the count to the thread that waited longest: one that comes by just after it
// cannot take it first, so a stream of readers at the gate cannot keep a writer waiting.
TEST(ConcurrencySemaphore, AReleaseHandsTheCountToTheLongestWaitingThread) {
  qor_semaphore s;
  std::atomic<bool> go{false};
  std::vector<int> order;  // written by the holder of the count only
  std::vector<std::thread> waiters;
  ASSERT_TRUE(s.acquire());
  for (int n = 1; n <= 2; ++n) {
    waiters.emplace_back([&, n] {
      s.acquire();
      order.push_back(n);
      EXPECT_TRUE(poll_until([&] { return go.load(); }));
      s.release();
    });
    EXPECT_TRUE(waits_at(s, n));
  }
  ASSERT_TRUE(s.release());
  bool passed_by = s.try_acquire();
  EXPECT_FALSE(passed_by);
  if (passed_by) s.release();
  go = true;
  for (std::thread& t : waiters) t.join();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_FALSE(s.release());  // free again: a release past the maximum fails
  EXPECT_EQ(qor_get_last_error(), QOR_ERROR_TOO_MANY_POSTS);
}

TEST_F(ConcurrencyRwlock, UnlockingAFreeLockGives9AndReportsItsState) {
  ElogCapture cap;
  EXPECT_EQ(NS__LKUnlock(ha_), NS_S_NOTLOCKED);
  std::vector<std::string> lines = cap.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].find(R"({"id":"0xC0000006","type":1,"strings":[")"), 0u) << lines[0];
  EXPECT_NE(lines[0].find(R"(","0","rwlock: invalid state"])"), std::string::npos) << lines[0];
}
