#include "platform/sync.h"

#include <chrono>

#include "platform/lasterror.h"

bool qor_semaphore::acquire() {
  std::unique_lock<std::mutex> hold(m_);
  if (!available_) {
    waiting_++;
    cv_.wait(hold, [this] { return available_; });
    waiting_--;
  }
  available_ = false;
  return true;
}

bool qor_semaphore::try_acquire() {
  std::lock_guard<std::mutex> hold(m_);
  if (!available_) return false;
  available_ = false;
  return true;
}

bool qor_semaphore::release() {
  bool wake;
  {
    std::lock_guard<std::mutex> hold(m_);
    if (available_) {
      qor_set_last_error(QOR_ERROR_TOO_MANY_POSTS);
      return false;
    }
    available_ = true;
    wake = waiting_ > 0;
  }
  // Outside the mutex, so the woken thread does not block on it at once.
  if (wake) cv_.notify_one();
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
