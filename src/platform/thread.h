// Threads whose start may fail and whose end may be awaited with a time
// limit, as the service host's threads are (the start-pending reporter, the
// stop and shutdown threads). std::thread reports a failed start by throwing
// and cannot be joined with a time limit; these answer a status instead.
#pragma once

#include <pthread.h>

#include <cstdint>

using qor_thread_func = void* (*)(void* arg);

// Starts `fn(arg)` on a new thread and sets *th. True, or false with the last
// error set to the platform's reason (8: the thread did not start).
bool qor_thread_start(qor_thread_func fn, void* arg, pthread_t* th);

// Waits up to `timeout_ms` milliseconds (QOR_INFINITE: no limit) for the
// thread to end. QOR_WAIT_SIGNALLED: it ended and is gone (do not close it);
// QOR_WAIT_TIMEOUT: it still runs and must still be closed.
int qor_thread_wait(pthread_t th, uint32_t timeout_ms);

// Lets a thread that was not waited for run on alone; its resources go when
// it ends ("closing its handle").
void qor_thread_close(pthread_t th);
