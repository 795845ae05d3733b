// The sorted table at start-up size: a recovery file is written in key order,
// so loading a class inserts every key behind the last one.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/mbstring.h"
#include "registry/table.h"

namespace {

constexpr int kKeys = 1000000;

const std::vector<std::string>& sorted_keys() {
  static const std::vector<std::string> keys = [] {
    std::vector<std::string> k;
    k.reserve(kKeys);
    char buf[32];
    for (int i = 0; i < kKeys; ++i) {
      std::snprintf(buf, sizeof buf, "printer-%08d", i);
      k.emplace_back(buf);
    }
    return k;
  }();
  return keys;
}

void BM_TabAddSorted(benchmark::State& state) {
  const auto& keys = sorted_keys();
  for (auto _ : state) {
    tabhandle_t* ha = nullptr;
    NS__TabInit(&ha, _mbscmp);
    for (const auto& k : keys) NS__TabAdd(ha, k.c_str(), nullptr, nullptr);
    state.PauseTiming();
    NS__TabTerm(ha, nullptr);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
}
BENCHMARK(BM_TabAddSorted)->Unit(benchmark::kMillisecond);

void BM_TabGet(benchmark::State& state) {
  const auto& keys = sorted_keys();
  tabhandle_t* ha = nullptr;
  NS__TabInit(&ha, _mbscmp);
  for (const auto& k : keys) NS__TabAdd(ha, k.c_str(), nullptr, nullptr);
  // A fixed pseudo-random order, so that lookups do not walk the array in order.
  std::vector<const char*> order(kKeys);
  for (size_t i = 0, j = 0; i < order.size(); ++i, j = (j + 7919) % kKeys) {
    order[i] = keys[j].c_str();
  }
  for (auto _ : state) {
    void* data = nullptr;
    for (const char* k : order) {
      NS__TabGet(ha, k, &data);
      benchmark::DoNotOptimize(data);
    }
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
  NS__TabTerm(ha, nullptr);
}
BENCHMARK(BM_TabGet)->Unit(benchmark::kMillisecond);

void BM_TabGetCaseBlind(benchmark::State& state) {
  const auto& keys = sorted_keys();
  tabhandle_t* ha = nullptr;
  NS__TabInit(&ha, _mbsicmp);
  for (const auto& k : keys) NS__TabAdd(ha, k.c_str(), nullptr, nullptr);
  for (auto _ : state) {
    void* data = nullptr;
    for (size_t j = 0; j < keys.size(); j += 1) {
      NS__TabGet(ha, keys[(j * 7919) % kKeys].c_str(), &data);
      benchmark::DoNotOptimize(data);
    }
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
  NS__TabTerm(ha, nullptr);
}
BENCHMARK(BM_TabGetCaseBlind)->Unit(benchmark::kMillisecond);

}  // namespace
