#include "platform/sync.h"

#include <chrono>

#include "platform/lasterror.h"

bool qor_semaphore::try_acquire() {
  int one = 1;
  return count_.compare_exchange_strong(one, 0, std::memory_order_acquire,
                                        std::memory_order_relaxed);
}

bool qor_semaphore::acquire() {
  if (try_acquire()) return true;
  std::unique_lock<std::mutex> hold(m_);
  // Counted before the count is tested again: a release that sets the count
  // after that test is bound to see the waiter (both sides use sequentially
  // consistent operations on the two atomics) and hand the count over.
  waiting_.fetch_add(1, std::memory_order_seq_cst);
  int one = 1;
  if (!count_.compare_exchange_strong(one, 0, std::memory_order_seq_cst)) {
    // Waiters are served in turn: a release hands the count to the longest
    // waiting one, so a thread that comes by later cannot take it first.
    uint64_t turn = next_turn_++;
    cv_.wait(hold, [&] { return served_ > turn; });
  }
  waiting_.fetch_sub(1, std::memory_order_relaxed);
  return true;
}

bool qor_semaphore::release() {
  if (waiting_.load(std::memory_order_seq_cst) > 0) {
    std::unique_lock<std::mutex> hold(m_);
    if (next_turn_ > served_) {
      if (count_.load(std::memory_order_relaxed) == 1) return too_many_posts();
      serve_next(hold);
      return true;
    }
  }
  if (count_.exchange(1, std::memory_order_seq_cst) == 1) return too_many_posts();
  if (waiting_.load(std::memory_order_seq_cst) > 0) {
    // A thread began to wait meanwhile and may not have seen the count: hand
    // it over, unless a thread passing by has taken it already.
    std::unique_lock<std::mutex> hold(m_);
    int one = 1;
    if (next_turn_ > served_ && count_.compare_exchange_strong(one, 0, std::memory_order_seq_cst)) {
      serve_next(hold);
    }
  }
  return true;
}

void qor_semaphore::serve_next(std::unique_lock<std::mutex>& hold) {
  ++served_;
  hold.unlock();
  // Every waiter looks: only the one whose turn has come leaves.
  cv_.notify_all();
}

bool qor_semaphore::too_many_posts() {
  qor_set_last_error(QOR_ERROR_TOO_MANY_POSTS);
  return false;
}

bool qor_event::signal() {
  {
    std::lock_guard<std::mutex> hold(m_);
    signalled_ = true;
  }
  cv_.notify_all();
  return true;
}

void qor_event::reset() {
  std::lock_guard<std::mutex> hold(m_);
  signalled_ = false;
}

int qor_event::wait(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> hold(m_);
  if (timeout_ms == QOR_INFINITE) {
    cv_.wait(hold, [this] { return signalled_; });
    return QOR_WAIT_SIGNALLED;
  }
  bool got =
      cv_.wait_for(hold, std::chrono::milliseconds(timeout_ms), [this] { return signalled_; });
  return got ? QOR_WAIT_SIGNALLED : QOR_WAIT_TIMEOUT;
}
