// Reader/writer lock: acquire plus release per second. Items/s is the figure;
// 2 threads share one lock, as the RPC call threads share NS__objlock.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <shared_mutex>
#include <thread>
#include <vector>

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

// A writer among readers that take the lock back to back, as lookups do under
// load: how long the writer waits for it. Each iteration times one write lock
// (manual time), then leaves the readers alone for half a millisecond.
// p99_us and max_us: the tail of those waits; argument: reader threads.
void BM_RwlockWriterAmongReaders(benchmark::State& state) {
  rwhandle_t* ha = shared_lock();
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int64_t i = 0; i < state.range(0); ++i) {
    readers.emplace_back([&] {
      while (!stop.load(std::memory_order_relaxed)) {
        NS__LKRlock(ha);
        NS__LKUnlock(ha);
      }
    });
  }
  std::vector<double> waits;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    NS__LKWlock(ha);
    auto t1 = std::chrono::steady_clock::now();
    NS__LKUnlock(ha);
    double s = std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(s);
    waits.push_back(s * 1e6);
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  stop = true;
  for (std::thread& t : readers) t.join();
  std::sort(waits.begin(), waits.end());
  if (!waits.empty()) {
    state.counters["p99_us"] = waits[waits.size() * 99 / 100];
    state.counters["max_us"] = waits.back();
  }
}
BENCHMARK(BM_RwlockWriterAmongReaders)->Arg(3)->Arg(8)->UseManualTime()->Iterations(5000);

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
