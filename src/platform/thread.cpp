#include "platform/thread.h"

#include <time.h>

#include "platform/lasterror.h"
#include "platform/sync.h"

bool qor_thread_start(qor_thread_func fn, void* arg, pthread_t* th) {
  int rc = pthread_create(th, nullptr, fn, arg);
  if (rc == 0) return true;
  // What the platform answers when no thread can be had.
  qor_set_last_error(ERROR_NOT_ENOUGH_MEMORY);
  return false;
}

// On the monotonic clock: a step of the wall clock (NTP, an administrator)
// must neither cut a stop short nor stretch it past systemd's patience.
// ThreadSanitizer (clang 14) does not take pthread_clockjoin_np for a join
// and would report every later use of what the thread touched as a race: its
// builds wait on the wall clock with pthread_timedjoin_np instead.
#if QOR_TSAN
constexpr clockid_t JOIN_CLOCK = CLOCK_REALTIME;
#else
constexpr clockid_t JOIN_CLOCK = CLOCK_MONOTONIC;
#endif

int qor_thread_wait(pthread_t th, uint32_t timeout_ms) {
  if (timeout_ms == QOR_INFINITE)
    return pthread_join(th, nullptr) == 0 ? QOR_WAIT_SIGNALLED : QOR_WAIT_TIMEOUT;
  timespec until;
  clock_gettime(JOIN_CLOCK, &until);
  until.tv_sec += timeout_ms / 1000;
  until.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
#if QOR_TSAN
  int rc = pthread_timedjoin_np(th, nullptr, &until);
#else
  int rc = pthread_clockjoin_np(th, nullptr, JOIN_CLOCK, &until);
#endif
  return rc == 0 ? QOR_WAIT_SIGNALLED : QOR_WAIT_TIMEOUT;
}

void qor_thread_close(pthread_t th) { pthread_detach(th); }
