// Registry figures: lookups through the front, creation latency against the
// size of the class (each create rewrites the class's recovery file), and the
// start-up load of a large recovery file with the memory it adds per object.
//
//   build/qor_bench --benchmark_filter=Registry
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "registry/nameobj.h"
#include "registry/objutil.h"
#include "registry/status.h"

namespace {

char own_domain[] = "DOM";

std::string bench_root() {
  static std::string root = [] {
    char tmpl[] = "/tmp/qor-bench-XXXXXX";
    std::string dir = mkdtemp(tmpl) ? tmpl : "/tmp/qor-bench";
    std::atexit([] { std::filesystem::remove_all(bench_root()); });
    return dir;
  }();
  return root;
}

std::vector<std::string> random_names(size_t count, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::string> out;
  out.reserve(count);
  char buf[32];
  for (size_t i = 0; i < count; i++) {
    snprintf(buf, sizeof buf, "prn%016llx", static_cast<unsigned long long>(rng()));
    out.push_back(buf);
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

const char kBinding[] = "ncacn_ip_tcp:10.1.2.3[5000]";
const char kHost[] = "printhost01";

// Writes spooler.dat of the given names as the registry itself would, in name
// order, so that a start loads it as it loads its own.
void write_spooler_dat(const std::string& dir, const std::vector<std::string>& names) {
  std::filesystem::create_directories(dir);
  FILE* fp = fopen((dir + "/spooler.dat").c_str(), "w");
  fprintf(fp, "# V1.11:recovery file for spooler\n# last modified bench\n\n\n");
  for (const std::string& n : names) {
    fprintf(fp, "# DOM\\%s(spooler)\n%s\nDOM\n1\n%s\n%s\n0\n\n", n.c_str(), n.c_str(), kBinding,
            kHost);
  }
  fclose(fp);
}

// The registry currently built, so that threads of one benchmark share it.
std::string built_dir;

void build_registry(const std::string& dir, const std::vector<std::string>& names) {
  if (built_dir == dir) return;
  NS__TermNameObj();
  std::filesystem::remove_all(dir);
  write_spooler_dat(dir, names);
  NS__ms_domain = own_domain;
  if (NS__InitNameObj(dir.c_str()) != NS_S_OK) abort();
  built_dir = dir;
}

const std::vector<std::string>& lookup_names() {
  static std::vector<std::string> names = random_names(10000, 1);
  return names;
}

void BM_RegistryGetObj(benchmark::State& state) {
  const auto& names = lookup_names();
  if (state.thread_index() == 0) build_registry(bench_root() + "/get", names);
  std::mt19937 rng(state.thread_index() + 7);
  for (auto _ : state) {
    const std::string& name = names[rng() % names.size()];
    qorobjid obj{NS_CLASS_SPOOLER, const_cast<char*>(name.c_str()), nullptr};
    qorobjid server;
    rpcbinding binding;
    int supportauth, objclass;
    int status = NS__GetObj(&obj, &server, &binding, &supportauth, &objclass);
    if (status != NS_S_OK) state.SkipWithError("lookup failed");
    NS__free_qorobjid(&server);
    NS__free_rpcbinding(&binding);
  }
  state.counters["lookups_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RegistryGetObj)->Threads(1)->Threads(2)->UseRealTime();

// Latency of registering one new spooler in a class of range(0) objects.
void BM_RegistryCreateObj(benchmark::State& state) {
  size_t size = static_cast<size_t>(state.range(0));
  auto names = random_names(size, 2);
  build_registry(bench_root() + "/create" + std::to_string(size), names);
  std::vector<double> micros;
  std::mt19937_64 rng(3);
  char bindbuf[] = "ncacn_ip_tcp:10.1.2.3[5000]";
  char* bindings[] = {bindbuf};
  char host[] = "printhost01";
  qor_serverinfo sv{{1, bindings}, host, 0};
  for (auto _ : state) {
    std::string name = "new" + std::to_string(rng());
    qorobjid obj{NS_CLASS_SPOOLER, name.data(), nullptr};
    int created = 0;
    auto t0 = std::chrono::steady_clock::now();
    int status = NS__CreateObj(&obj, nullptr, 0, &sv, nullptr, &created);
    auto t1 = std::chrono::steady_clock::now();
    if (status != NS_S_OK) state.SkipWithError("create failed");
    double us = std::chrono::duration<double, std::micro>(t1 - t0).count();
    micros.push_back(us);
    state.SetIterationTime(us / 1e6);
  }
  std::sort(micros.begin(), micros.end());
  if (!micros.empty()) {
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
  }
  built_dir.clear();  // the class has grown; rebuild it for another run
}
BENCHMARK(BM_RegistryCreateObj)
    ->Arg(1000)
    ->Iterations(200)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RegistryCreateObj)
    ->Arg(10000)
    ->Iterations(100)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RegistryCreateObj)
    ->Arg(100000)
    ->Iterations(30)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

long rss_bytes() {
  long pages = 0, resident = 0;
  FILE* fp = fopen("/proc/self/statm", "r");
  if (fp == nullptr) return 0;
  if (fscanf(fp, "%ld %ld", &pages, &resident) != 2) resident = 0;
  fclose(fp);
  return resident * sysconf(_SC_PAGESIZE);
}

// Start-up load of a spooler.dat of one million objects, and the memory the
// loaded registry holds per object beyond its strings' bytes.
void BM_RegistryInitNameObj(benchmark::State& state) {
  size_t count = static_cast<size_t>(state.range(0));
  std::string dir = bench_root() + "/init";
  static std::vector<std::string> names;
  if (names.size() != count) {
    names = random_names(count, 4);
    NS__TermNameObj();
    built_dir.clear();
    std::filesystem::remove_all(dir);
    write_spooler_dat(dir, names);
  }
  NS__ms_domain = own_domain;
  double string_bytes = 0;
  for (const std::string& n : names) string_bytes += n.size() + 1;
  string_bytes += names.size() * (sizeof kBinding + sizeof kHost);

  double rss_per_object = 0, heap_per_object = 0;
  for (auto _ : state) {
    state.PauseTiming();
    NS__TermNameObj();
    built_dir.clear();
    malloc_trim(0);
    long rss0 = rss_bytes();
    size_t heap0 = mallinfo2().uordblks;
    state.ResumeTiming();
    if (NS__InitNameObj(dir.c_str()) != NS_S_OK) state.SkipWithError("init failed");
    state.PauseTiming();
    rss_per_object = (rss_bytes() - rss0 - string_bytes) / names.size();
    heap_per_object = (mallinfo2().uordblks - heap0 - string_bytes) / names.size();
    state.ResumeTiming();
  }
  state.counters["objects"] = static_cast<double>(names.size());
  state.counters["rss_bytes_per_object_beyond_strings"] = rss_per_object;
  state.counters["heap_bytes_per_object_beyond_strings"] = heap_per_object;
  NS__TermNameObj();
}
BENCHMARK(BM_RegistryInitNameObj)->Arg(1000000)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
