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
  // after that test is bound to see the waiter and wake it (both sides use
  // sequentially consistent operations on the two atomics).
  waiting_.fetch_add(1, std::memory_order_seq_cst);
  for (;;) {
    int one = 1;
    if (count_.compare_exchange_strong(one, 0, std::memory_order_seq_cst)) break;
    cv_.wait(hold);
  }
  waiting_.fetch_sub(1, std::memory_order_relaxed);
  return true;
}

bool qor_semaphore::release() {
  if (count_.exchange(1, std::memory_order_seq_cst) == 1) {
    qor_set_last_error(QOR_ERROR_TOO_MANY_POSTS);
    return false;
  }
  if (waiting_.load(std::memory_order_seq_cst) > 0) {
    // Taking the mutex makes sure a waiter that counted itself is inside
    // cv_.wait (or has already taken the count) before it is woken.
    { std::lock_guard<std::mutex> hold(m_); }
    cv_.notify_one();
  }
  return true;
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
