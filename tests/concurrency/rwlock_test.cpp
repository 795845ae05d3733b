// The reader/writer lock on many threads: readers share it, a writer waits
// for them and goes before the readers that arrive after it, and a lock given
// back too often says so. (The registry's concurrency test keeps writers alone
// under load.)
#include "registry/rwlock_p.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// Threads that take the lock, note "<name> in", wait to be let go, note
// "<name> out" and give the lock back. However a case ends, every holder is
// let go before any is joined, so a failed check never leaves one waiting.
class Crew {
 public:
  explicit Crew(rwhandle_t* ha) : ha_(ha) {}
  ~Crew() {
    for (auto& h : holders_) h->go.signal();
    for (auto& h : holders_) {
      if (h->t.joinable()) h->t.join();
    }
  }
  void start(std::string name, bool write) {
    holders_.push_back(std::make_unique<Holder>());
    Holder* h = holders_.back().get();
    h->t = std::thread([this, h, name, write] {
      EXPECT_EQ(write ? NS__LKWlock(ha_) : NS__LKRlock(ha_), NS_S_OK) << name;
      note(name + " in");
      h->go.wait();
      note(name + " out");
      EXPECT_EQ(NS__LKUnlock(ha_), NS_S_OK) << name;
    });
  }
  // Lets the i-th holder give the lock back and waits until it has.
  void release(size_t i) {
    holders_[i]->go.signal();
    holders_[i]->t.join();
  }
  // Waits until `what` has been noted; false after `patience`.
  bool seen(const std::string& what, std::chrono::seconds patience = PATIENCE) {
    std::unique_lock<std::mutex> hold(m_);
    return cv_.wait_for(hold, patience,
                        [&] { return std::find(log_.begin(), log_.end(), what) != log_.end(); });
  }
  std::vector<std::string> log() {
    std::lock_guard<std::mutex> hold(m_);
    return log_;
  }

 private:
  struct Holder {
    std::thread t;
    qor_event go;
  };
  void note(const std::string& what) {
    std::lock_guard<std::mutex> hold(m_);
    log_.push_back(what);
    cv_.notify_all();
  }
  rwhandle_t* ha_;
  std::vector<std::unique_ptr<Holder>> holders_;
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::string> log_;
};

class ConcurrencyRwlock : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(NS__LKInit(&ha_), NS_S_OK); }
  void TearDown() override { NS__LKTerm(ha_); }
  rwhandle_t* ha_ = nullptr;
};

}  // namespace

// R0 and R1 hold it together; W1 waits for both and R2, arriving later, waits
// behind W1; W2, arriving while W1 holds, still goes before R2.
TEST_F(ConcurrencyRwlock, ReadersShareAndWritersGoBeforeTheReadersThatArriveAfterThem) {
  Crew crew(ha_);
  crew.start("R0", false);
  crew.start("R1", false);
  ASSERT_TRUE(crew.seen("R0 in"));
  ASSERT_TRUE(crew.seen("R1 in"));  // nobody left: only a shared hold lets both in
  crew.start("W1", true);
  ASSERT_TRUE(writers_counted(ha_, 1));
  crew.start("R2", false);
  ASSERT_TRUE(reader_queued(ha_));
  crew.release(0);
  EXPECT_EQ(ha_->state, NS_LK_READ);  // R1 still holds it
  crew.release(1);
  ASSERT_TRUE(crew.seen("W1 in"));
  EXPECT_EQ(ha_->state, NS_LK_WRITE);
  crew.start("W2", true);
  ASSERT_TRUE(writers_counted(ha_, 2));
  crew.release(2);
  ASSERT_TRUE(crew.seen("W2 in"));
  crew.release(4);
  ASSERT_TRUE(crew.seen("R2 in"));
  crew.release(3);
  std::vector<std::string> log = crew.log();
  if (log[0] == "R1 in") std::swap(log[0], log[1]);  // R0 and R1 get in in either order
  EXPECT_EQ(log, (std::vector<std::string>{"R0 in", "R1 in", "R0 out", "R1 out", "W1 in", "W1 out",
                                           "W2 in", "W2 out", "R2 in", "R2 out"}));
  EXPECT_EQ(ha_->state, NS_LK_FREE);
}

TEST_F(ConcurrencyRwlock, UnlockingAFreeLockGives9AndReportsItsState) {
  ElogCapture cap;
  EXPECT_EQ(NS__LKUnlock(ha_), NS_S_NOTLOCKED);
  // A read hold given back twice: the second finds the lock free again.
  ASSERT_EQ(NS__LKRlock(ha_), NS_S_OK);
  EXPECT_EQ(NS__LKUnlock(ha_), NS_S_OK);
  EXPECT_EQ(NS__LKUnlock(ha_), NS_S_NOTLOCKED);

  static const std::regex internal(
      R"re(\{"id":"0xC0000006","type":1,"strings":\["([0-9a-f]+)","0","rwlock: invalid state"\],.*)re");
  std::vector<std::string> lines = cap.lines();
  ASSERT_EQ(lines.size(), 2u);
  for (const std::string& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, internal)) << line;
    EXPECT_EQ(std::strtoul(m[1].str().c_str(), nullptr, 16) >> 24, NS_MODULE_RWLOCK);
  }
  // The lock still works afterwards.
  ASSERT_EQ(NS__LKWlock(ha_), NS_S_OK);
  EXPECT_EQ(NS__LKUnlock(ha_), NS_S_OK);
}
