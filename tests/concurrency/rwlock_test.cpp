#include "registry/rwlock_p.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "../testutil.h"
#include "platform/memory.h"
#include "registry/status.h"

namespace {

// Liveness guard only: a broken lock shows as a failure instead of a hang.
constexpr auto PATIENCE = std::chrono::seconds(20);

// The order in which the threads of a case got in and out.
class Journal {
 public:
  void add(const std::string& what) {
    std::lock_guard<std::mutex> hold(m_);
    seq_.push_back(what);
    cv_.notify_all();
  }
  std::vector<std::string> seq() {
    std::lock_guard<std::mutex> hold(m_);
    return seq_;
  }
  bool has(const std::string& what) { return wait_for(what, std::chrono::seconds(0)); }
  // Waits until `what` has been recorded; false after `patience`.
  bool wait_for(const std::string& what, std::chrono::seconds patience = PATIENCE) {
    std::unique_lock<std::mutex> hold(m_);
    return cv_.wait_for(hold, patience,
                        [&] { return std::find(seq_.begin(), seq_.end(), what) != seq_.end(); });
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::string> seq_;
};

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

// A writer counts itself in `nwrite` under wlock and keeps wlock until it has closed the
// readers' gate, so seeing the count means the gate is closed.
bool writers_counted(rwhandle_t* ha, uint32_t n) {
  return poll_until([&] {
    std::lock_guard<std::mutex> hold(ha->wlock);
    return ha->nwrite == n;
  });
}

// An arriving reader holds `pend` while it is queued at the gate.
bool reader_queued(rwhandle_t* ha) {
  return poll_until([&] {
    if (!ha->pend.try_lock()) return true;
    ha->pend.unlock();
    return false;
  });
}

// A thread that takes the lock, records "<name> in", waits for the test to
// let it go, records "<name> out" and gives the lock back.
class Holder {
 public:
  Holder(rwhandle_t* ha, Journal* j, std::string name, bool write)
      : ha_(ha), j_(j), name_(std::move(name)) {
    t_ = std::thread([this, write] {
      int rc = write ? NS__LKWlock(ha_) : NS__LKRlock(ha_);
      lock_rc_ = rc;
      j_->add(name_ + " in");
      go_.wait();
      j_->add(name_ + " out");
      unlock_rc_ = NS__LKUnlock(ha_);
    });
  }
  ~Holder() { join(); }
  // Lets the thread give the lock back once it has it.
  void release() { go_.signal(); }
  // Lets the thread give the lock back and waits for it to end.
  void join() {
    if (!t_.joinable()) return;
    go_.signal();
    t_.join();
    EXPECT_EQ(lock_rc_, NS_S_OK) << name_;
    EXPECT_EQ(unlock_rc_, NS_S_OK) << name_;
  }

 private:
  rwhandle_t* ha_;
  Journal* j_;
  std::string name_;
  qor_event go_;
  int lock_rc_ = -1;
  int unlock_rc_ = -1;
  std::thread t_;
};

// The holders of one case. Whatever way the case ends, every holder is let go
// before any is waited for, so a failed check never leaves a writer waiting
// behind a reader that is itself waiting to be joined.
class Crew {
 public:
  Crew(rwhandle_t* ha, Journal* j) : ha_(ha), j_(j) {}
  ~Crew() {
    for (auto& h : holders_) h->release();
    for (auto& h : holders_) h->join();
  }
  Holder& start(const char* name, bool write) {
    holders_.push_back(std::make_unique<Holder>(ha_, j_, name, write));
    return *holders_.back();
  }

 private:
  rwhandle_t* ha_;
  Journal* j_;
  std::vector<std::unique_ptr<Holder>> holders_;
};

class ConcurrencyRwlock : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(NS__LKInit(&ha_), NS_S_OK); }
  void TearDown() override { NS__LKTerm(ha_); }
  rwhandle_t* ha_ = nullptr;
};

}  // namespace

TEST_F(ConcurrencyRwlock, ReadersGetInTogether) {
  Journal j;
  Crew crew(ha_, &j);
  // Nobody leaves before all are inside: only a shared hold lets them all in.
  for (const char* name : {"R1", "R2", "R3", "R4", "R5", "R6"}) crew.start(name, false);
  for (const char* name : {"R1", "R2", "R3", "R4", "R5", "R6"}) {
    ASSERT_TRUE(j.wait_for(std::string(name) + " in"));
  }
  EXPECT_EQ(ha_->state, NS_LK_READ);
}

TEST_F(ConcurrencyRwlock, WriterWaitsForReadersAndLaterReadersWaitForIt) {
  Journal j;
  Crew crew(ha_, &j);
  Holder& r1 = crew.start("R1", false);
  Holder& r2 = crew.start("R2", false);
  ASSERT_TRUE(j.wait_for("R1 in"));
  ASSERT_TRUE(j.wait_for("R2 in"));
  Holder& w = crew.start("W", true);
  ASSERT_TRUE(writers_counted(ha_, 1));
  // A reader arriving now queues behind the waiting writer.
  Holder& r3 = crew.start("R3", false);
  ASSERT_TRUE(reader_queued(ha_));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(j.has("W in"));
  EXPECT_FALSE(j.has("R3 in"));

  r1.join();
  EXPECT_EQ(ha_->state, NS_LK_READ);  // the second reader still holds it
  r2.join();
  ASSERT_TRUE(j.wait_for("W in"));
  w.join();
  ASSERT_TRUE(j.wait_for("R3 in"));
  r3.join();
  std::vector<std::string> want = {"R1 in", "R2 in", "R1 out", "R2 out",
                                   "W in",  "W out", "R3 in",  "R3 out"};
  std::vector<std::string> got = j.seq();
  // R1 and R2 may get in in either order.
  if (got.size() >= 2 && got[0] == "R2 in") std::swap(got[0], got[1]);
  EXPECT_EQ(got, want);
  EXPECT_EQ(ha_->state, NS_LK_FREE);
}

TEST_F(ConcurrencyRwlock, WritersInARowGoBeforeAWaitingReader) {
  Journal j;
  Crew crew(ha_, &j);
  Holder& w1 = crew.start("W1", true);
  ASSERT_TRUE(j.wait_for("W1 in"));
  EXPECT_EQ(ha_->state, NS_LK_WRITE);
  Holder& w2 = crew.start("W2", true);
  ASSERT_TRUE(writers_counted(ha_, 2));
  Holder& r = crew.start("R", false);
  ASSERT_TRUE(reader_queued(ha_));
  w1.join();
  ASSERT_TRUE(j.wait_for("W2 in"));
  EXPECT_FALSE(j.has("R in"));
  w2.join();
  ASSERT_TRUE(j.wait_for("R in"));
  r.join();
  std::vector<std::string> want = {"W1 in", "W1 out", "W2 in", "W2 out", "R in", "R out"};
  EXPECT_EQ(j.seq(), want);
}

TEST_F(ConcurrencyRwlock, StressKeepsWritersAlone) {
  constexpr int THREADS = 8;
  constexpr int ROUNDS = 3000;
  std::atomic<int> readers_in{0}, writers_in{0}, violations{0}, bad_status{0};
  long shared_count = 0;  // written only under the write hold, read under a read hold
  std::atomic<long> writes{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; t++) {
    threads.emplace_back([&, t] {
      unsigned seed = static_cast<unsigned>(t) * 7919u + 1u;
      for (int i = 0; i < ROUNDS; i++) {
        seed = seed * 1103515245u + 12345u;
        bool write = (seed >> 16) % 4 == 0;
        if (write) {
          if (NS__LKWlock(ha_) != NS_S_OK) bad_status++;
          if (writers_in.fetch_add(1) != 0 || readers_in.load() != 0) violations++;
          shared_count++;
          writes++;
          writers_in.fetch_sub(1);
        } else {
          if (NS__LKRlock(ha_) != NS_S_OK) bad_status++;
          readers_in.fetch_add(1);
          if (writers_in.load() != 0) violations++;
          volatile long seen = shared_count;
          (void)seen;
          readers_in.fetch_sub(1);
        }
        if (NS__LKUnlock(ha_) != NS_S_OK) bad_status++;
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(violations.load(), 0);
  EXPECT_EQ(bad_status.load(), 0);
  EXPECT_EQ(shared_count, writes.load());
  EXPECT_EQ(ha_->state, NS_LK_FREE);
  EXPECT_EQ(ha_->nread, 0u);
  EXPECT_EQ(ha_->nwrite, 0u);
}

TEST_F(ConcurrencyRwlock, UnlockingAFreeLockGives9AndReportsItsState) {
  ElogCapture cap;
  EXPECT_EQ(NS__LKUnlock(ha_), NS_S_NOTLOCKED);
  // A read hold given back twice: the second finds the lock free again.
  ASSERT_EQ(NS__LKRlock(ha_), NS_S_OK);
  EXPECT_EQ(NS__LKUnlock(ha_), NS_S_OK);
  EXPECT_EQ(NS__LKUnlock(ha_), NS_S_NOTLOCKED);
  // A damaged state prints the low byte of each member.
  ha_->state = 0x107;
  ha_->nread = 0x201;
  ha_->nwrite = 0x302;
  EXPECT_EQ(NS__LKUnlock(ha_), NS_S_NOTLOCKED);
  ha_->state = NS_LK_FREE;
  ha_->nread = 0;
  ha_->nwrite = 0;

  static const std::regex internal(
      R"re(\{"id":"0xC0000006","type":1,"strings":\["([0-9a-f]+)","([0-9a-f]+)","rwlock: invalid state"\],)re"
      R"re("text":"65-104 An internal error has occured: ([0-9a-f]+) ([0-9a-f]+) rwlock: invalid state\."\})re");
  std::vector<std::string> lines = cap.lines();
  ASSERT_EQ(lines.size(), 3u);
  const char* packed[] = {"0", "0", "70102"};
  for (size_t i = 0; i < lines.size(); i++) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i], m, internal)) << lines[i];
    EXPECT_EQ(std::strtoul(m[1].str().c_str(), nullptr, 16) >> 24, NS_MODULE_RWLOCK);
    EXPECT_EQ(m[2].str(), packed[i]);
    EXPECT_EQ(m[3].str(), m[1].str());
    EXPECT_EQ(m[4].str(), m[2].str());
  }
  // The lock still works afterwards.
  ASSERT_EQ(NS__LKWlock(ha_), NS_S_OK);
  EXPECT_EQ(NS__LKUnlock(ha_), NS_S_OK);
}

TEST(ConcurrencyRwlockLife, InitWithoutMemoryAndTermOfNull) {
  rwhandle_t* ha = reinterpret_cast<rwhandle_t*>(&ha);
  qor_alloc_fail_at(1);
  EXPECT_EQ(NS__LKInit(&ha), NS_S_NOMEM);
  qor_alloc_fail_at(0);
  EXPECT_EQ(ha, nullptr);
  NS__LKTerm(nullptr);
}
