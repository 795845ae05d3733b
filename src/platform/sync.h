// Synchronisation objects that std:: does not offer in the needed form: a
// binary semaphore that one thread takes and another gives back, and a
// manual-reset event. Neither can fail the way the platform's kernel objects
// can; their calls still answer success or failure so that callers keep their
// failure handling where it costs nothing.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

// Wait results, numbered as the platform numbers them.
constexpr int QOR_WAIT_SIGNALLED = 0;  // the object was signalled (WAIT_OBJECT_0)
constexpr int QOR_WAIT_TIMEOUT = 258;  // the time ran out (WAIT_TIMEOUT)
// No time limit for qor_event::wait.
constexpr uint32_t QOR_INFINITE = 0xFFFFFFFF;
// Last error left by a give-back that would raise a semaphore past its maximum.
constexpr uint32_t QOR_ERROR_TOO_MANY_POSTS = 298;

// A semaphore with count 0 or 1. Taking a free one and giving one back that
// nobody waits for are a few atomic instructions; the mutex and condition
// variable are used only when a thread has to wait. (std::binary_semaphore in
// libstdc++ 12 makes a futex call on every release.) Waiting threads are served
// in the order they came, each handed the count by a release, so that a thread
// coming by just after a release cannot take it first: the reader/writer
// lock's writer priority depends on it. Usable from every thread.
class qor_semaphore {
 public:
  explicit qor_semaphore(bool available = true) : count_(available ? 1 : 0) {}
  qor_semaphore(const qor_semaphore&) = delete;
  qor_semaphore& operator=(const qor_semaphore&) = delete;

  // Waits without a time limit until the count is 1 and takes it. Always true.
  bool acquire();
  // Takes the count if it is 1, without waiting.
  bool try_acquire();
  // Gives the count back. False, with last error QOR_ERROR_TOO_MANY_POSTS,
  // when the count already is 1 (the maximum).
  bool release();
  // Threads inside acquire that found the count taken (and have not left it).
  int waiting() const { return waiting_.load(); }

 private:
  // Hands the count to the longest waiting thread. REQUIRES: `hold` holds m_
  // and a turn is waiting; gives m_ up.
  void serve_next(std::unique_lock<std::mutex>& hold);
  bool too_many_posts();

  std::atomic<int> count_;
  std::atomic<int> waiting_{0};  // threads that have to wait; changed under m_
  std::mutex m_;
  std::condition_variable cv_;
  uint64_t next_turn_ = 0;  // turns given to waiting threads (GUARDED_BY(m_))
  uint64_t served_ = 0;     // turns handed the count so far (GUARDED_BY(m_))
};

// Takes the mutex of `hold`, waiting without a time limit. Always true: a
// std::mutex cannot fail the way the platform's wait for a mutex can, and the
// answer lets each caller keep its failure row for that wait where it costs
// nothing.
inline bool qor_mutex_take(std::unique_lock<std::mutex>& hold) {
  hold.lock();
  return true;
}

// Manual-reset event, initially not signalled: once signalled, every waiter
// and every later wait sees it until reset. Signalling twice is harmless.
class qor_event {
 public:
  qor_event() = default;
  qor_event(const qor_event&) = delete;
  qor_event& operator=(const qor_event&) = delete;

  // Always true.
  bool signal();
  void reset();
  // QOR_WAIT_SIGNALLED, or QOR_WAIT_TIMEOUT after `timeout_ms` milliseconds
  // (QOR_INFINITE: no limit; 0: a test that does not wait).
  int wait(uint32_t timeout_ms = QOR_INFINITE);

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool signalled_ = false;  // guarded by m_
};
