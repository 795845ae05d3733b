// The reader/writer lock that guards the class stores (NS__objlock): any
// number of readers together or one writer alone, writers first. Once a writer
// is waiting, readers that arrive later wait behind it; readers may starve
// under a steady stream of writers, writers never under readers.
//
// The lock is not re-entrant: a writer that asks again waits for ever, and a
// reader that asks again may wait behind a waiting writer. So a holder never
// calls anything that takes it.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/sync.h"

// Members are public so that the lock's tests can watch the counters under
// their own mutexes; nothing else looks inside.
struct rwhandle {
  std::mutex pend;       // one arriving reader at a time queues on rblock
  std::mutex rlock;      // guards nread
  std::mutex wlock;      // guards nwrite
  qor_semaphore rblock;  // the readers' gate: closed by the first waiting writer
  qor_semaphore wblock;  // the resource: held by the group of readers or one writer
  uint32_t nread;        // guarded by rlock: readers inside or entering
  uint32_t nwrite;       // guarded by wlock: writers inside or waiting
  int state;             // 0 free, 1 readers, 2 a writer; written by whoever takes
                         // or gives back wblock
};
typedef rwhandle rwhandle_t;

// Lock states.
constexpr int NS_LK_FREE = 0;
constexpr int NS_LK_READ = 1;
constexpr int NS_LK_WRITE = 2;

// Creates a free lock into *handle (null after a failure). 0; 14 when memory
// is exhausted; 19 when a synchronisation object cannot be created.
int NS__LKInit(rwhandle_t** handle);
// Destroys the lock; null does nothing. Does not wait for holders: the caller
// makes sure there are none.
void NS__LKTerm(rwhandle_t* ha);
// Takes the lock for reading: 0 with a read hold; 19 (event 0xC0000003 logged).
int NS__LKRlock(rwhandle_t* ha);
// Takes the lock for writing: 0 with the write hold; 19 (event 0xC0000003 logged).
int NS__LKWlock(rwhandle_t* ha);
// Gives back the caller's hold, read or write as the lock's state says.
// 0; 9 when the lock is not held (event 0xC0000006 logged); 19 (0xC0000003).
int NS__LKUnlock(rwhandle_t* ha);
