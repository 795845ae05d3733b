// Reader/writer lock: acquire plus release per second. Items/s is the figure;
// 2 threads share one lock, as the RPC call threads share NS__objlock.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <shared_mutex>
#include <thread>

#include "registry/rwlock_p.h"
#include "registry/status.h"

namespace {

rwhandle_t* shared_lock() {
  static rwhandle_t* ha = [] {
    // The service always runs many threads. glibc lets a process that never
    // started one take its mutexes without atomic instructions, which would
    // flatter the single-thread figures; so start one first.
    std::thread([] {}).join();
    rwhandle_t* h = nullptr;
    if (NS__LKInit(&h) != NS_S_OK) std::abort();
    return h;
  }();
  return ha;
}

void BM_RwlockRead(benchmark::State& state) {
  rwhandle_t* ha = shared_lock();
  for (auto _ : state) {
    NS__LKRlock(ha);
    NS__LKUnlock(ha);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RwlockRead)->Threads(1)->Threads(2)->UseRealTime();

void BM_RwlockWrite(benchmark::State& state) {
  rwhandle_t* ha = shared_lock();
  for (auto _ : state) {
    NS__LKWlock(ha);
    NS__LKUnlock(ha);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RwlockWrite)->Threads(1)->UseRealTime();

// For scale: the library's reader/writer mutex, shared holds.
void BM_SharedMutexRead(benchmark::State& state) {
  static std::shared_mutex m;
  shared_lock();  // for the same thread history
  for (auto _ : state) {
    m.lock_shared();
    m.unlock_shared();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SharedMutexRead)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace
