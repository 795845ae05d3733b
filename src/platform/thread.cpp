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

int qor_thread_wait(pthread_t th, uint32_t timeout_ms) {
  if (timeout_ms == QOR_INFINITE)
    return pthread_join(th, nullptr) == 0 ? QOR_WAIT_SIGNALLED : QOR_WAIT_TIMEOUT;
  // On the monotonic clock: a step of the wall clock (NTP, an administrator)
  // must neither cut a stop short nor stretch it past systemd's patience.
  timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += timeout_ms / 1000;
  until.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  int rc = pthread_clockjoin_np(th, nullptr, CLOCK_MONOTONIC, &until);
  return rc == 0 ? QOR_WAIT_SIGNALLED : QOR_WAIT_TIMEOUT;
}

void qor_thread_close(pthread_t th) { pthread_detach(th); }
