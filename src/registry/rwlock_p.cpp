#include "registry/rwlock_p.h"

#include <new>

#include "platform/lasterror.h"
#include "platform/memory.h"
#include "registry/status.h"
#include "service/elog.h"

// Courtois, Heymans and Parnas' writers-first solution: three mutexes that
// their taker gives back, and two binary semaphores that one thread takes and
// another gives back (the first reader in takes wblock for the whole group and
// the last reader out returns it; likewise the first and last writer with the
// readers' gate rblock).

namespace {

// A std::mutex cannot fail to be taken, nor to be given back by its owner; the
// semaphores fail only when given back past their maximum. Every call still
// answers, so each call site keeps its failure handling at no cost.
bool take(std::mutex& m) {
  m.lock();
  return true;
}
bool give(std::mutex& m) {
  m.unlock();
  return true;
}
bool take(qor_semaphore& s) { return s.acquire(); }
bool give(qor_semaphore& s) { return s.release(); }

// Reports a failed synchronisation call at `location` and answers 19. Called
// right after the failing call, before any undo can change the last error.
int failed(uint32_t location) {
  NS__Log_UU(NS_EVENT_ERROR, NS_EV_WIN32, qor_get_last_error(), location);
  return NS_S_SYSFAIL;
}

#define HERE NS_LOCATION(NS_MODULE_RWLOCK)

// The low byte of each of state, nread and nwrite, for the invalid-state report.
uint32_t packed_state(rwhandle_t* ha) {
  uint32_t state = static_cast<uint32_t>(ha->state) & 0xFF;
  uint32_t nread, nwrite;
  {
    std::lock_guard<std::mutex> hold(ha->rlock);
    nread = ha->nread & 0xFF;
  }
  {
    std::lock_guard<std::mutex> hold(ha->wlock);
    nwrite = ha->nwrite & 0xFF;
  }
  return state * 0x10000 + nread * 0x100 + nwrite;
}

}  // namespace

int NS__LKInit(rwhandle_t** handle) {
  *handle = nullptr;
  void* block = qor_malloc(sizeof(rwhandle_t));
  if (block == nullptr) return NS_S_NOMEM;
  // The mutexes and semaphores are created free (semaphores at 1 of 1) and,
  // being ordinary objects, cannot fail to be created.
  rwhandle_t* ha = new (block) rwhandle_t();
  ha->nread = 0;
  ha->nwrite = 0;
  ha->state = NS_LK_FREE;
  *handle = ha;
  return NS_S_OK;
}

void NS__LKTerm(rwhandle_t* ha) {
  if (ha == nullptr) return;
  ha->~rwhandle();
  qor_free(ha);
}

int NS__LKRlock(rwhandle_t* ha) {
  int st;
  if (!take(ha->pend)) return failed(HERE);
  // Passes only while no writer is waiting or writing.
  if (!take(ha->rblock)) {
    st = failed(HERE);
    give(ha->pend);
    return st;
  }
  if (!take(ha->rlock)) {
    st = failed(HERE);
    give(ha->rblock);
    give(ha->pend);
    return st;
  }
  if (ha->nread++ == 0) {
    // The first reader takes the resource for the group, once the writer
    // inside (if any) has left.
    if (!take(ha->wblock)) {
      st = failed(HERE);
      ha->nread--;
      give(ha->rlock);
      give(ha->rblock);
      give(ha->pend);
      return st;
    }
    ha->state = NS_LK_READ;
  }
  if (!give(ha->rlock)) {
    st = failed(HERE);  // this reader stays counted
    give(ha->rblock);
    give(ha->pend);
    return st;
  }
  if (!give(ha->rblock)) {
    st = failed(HERE);
    give(ha->pend);
    return st;
  }
  if (!give(ha->pend)) return failed(HERE);
  return NS_S_OK;
}

int NS__LKWlock(rwhandle_t* ha) {
  int st;
  if (!take(ha->wlock)) return failed(HERE);
  if (ha->nwrite++ == 0) {
    // The first writer closes the readers' gate: from now on no arriving
    // reader gets past it until the last writer has left.
    if (!take(ha->rblock)) {
      st = failed(HERE);
      ha->nwrite--;
      give(ha->wlock);
      return st;
    }
  }
  if (!give(ha->wlock)) {
    st = failed(HERE);
    ha->nwrite--;
    return st;
  }
  // Until the readers inside, or the writer before this one, have left.
  if (!take(ha->wblock)) return failed(HERE);
  ha->state = NS_LK_WRITE;
  return NS_S_OK;
}

int NS__LKUnlock(rwhandle_t* ha) {
  int st;
  // Readers and a writer never hold the lock together, so the state tells
  // which kind of hold the caller gives back.
  switch (ha->state) {
    case NS_LK_READ:
      if (!take(ha->rlock)) return failed(HERE);
      if (--ha->nread == 0) {
        ha->state = NS_LK_FREE;
        if (!give(ha->wblock)) {
          st = failed(HERE);
          ha->nread++;
          ha->state = NS_LK_READ;
          give(ha->rlock);
          return st;
        }
      }
      if (!give(ha->rlock)) return failed(HERE);
      return NS_S_OK;

    case NS_LK_WRITE:
      ha->state = NS_LK_FREE;
      if (!give(ha->wblock)) {
        st = failed(HERE);
        ha->state = NS_LK_WRITE;
        return st;
      }
      if (!take(ha->wlock)) return failed(HERE);
      if (--ha->nwrite == 0) {
        // The last writer reopens the gate for the readers.
        if (!give(ha->rblock)) {
          st = failed(HERE);
          ha->nwrite++;
          ha->state = NS_LK_WRITE;
          give(ha->wlock);
          return st;
        }
      }
      if (!give(ha->wlock)) return failed(HERE);
      return NS_S_OK;

    default:
      NS__Log_UUS(NS_EVENT_ERROR, NS_EV_INTERNAL, HERE, packed_state(ha), "rwlock: invalid state");
      return NS_S_NOTLOCKED;
  }
}
