// Costs of the platform pieces on the registration path: parsing a server's string binding
// (each overwrite check), a settings read (each start-up read, with its guard) and a host
// lookup answered by the hosts file.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/hostlookup.h"
#include "platform/rpc/string_binding.h"
#include "service/qorutil.h"

namespace {

void BM_StringBindingParse(benchmark::State& state) {
  const char* text = "6b29fc40-ca47-1067-b31d-00dd010662da@ncacn_ip_tcp:10.1.2.3[49664,a=1]";
  for (auto _ : state) {
    char* protseq = nullptr;
    char* addr = nullptr;
    RpcStringBindingParseA(text, nullptr, &protseq, &addr, nullptr, nullptr);
    benchmark::DoNotOptimize(addr);
    RpcStringFreeA(&protseq);
    RpcStringFreeA(&addr);
  }
}
BENCHMARK(BM_StringBindingParse);

// A settings file of 30 values, the wanted one last.
std::string MakeSettings() {
  std::string dir = (std::filesystem::temp_directory_path() / "qor-bench-settings").string();
  std::filesystem::create_directories(dir);
  std::ofstream out(dir + "/qor.conf", std::ios::trunc);
  for (int i = 0; i < 29; ++i) out << "Value" << i << " = dword:" << i << "\n";
  out << "HostsFile = sz:" << dir << "/hosts\n";
  out << "MaxRetry = dword:10\n";
  std::ofstream hosts(dir + "/hosts", std::ios::trunc);
  for (int i = 1; i < 50; ++i) hosts << "10.0.0." << i << " host" << i << "\n";
  setenv("QOR_CONFIG", (dir + "/qor.conf").c_str(), 1);
  return dir;
}

void BM_GetRegInt(benchmark::State& state) {
  MakeSettings();
  for (auto _ : state) benchmark::DoNotOptimize(NS__GetRegInt("MaxRetry", 1));
}
BENCHMARK(BM_GetRegInt);

void BM_HostByNameFromHostsFile(benchmark::State& state) {
  MakeSettings();
  for (auto _ : state) {
    qor_hostent* e = nullptr;
    qor_host_by_name("host49", &e);
    benchmark::DoNotOptimize(e);
    qor_host_free(e);
  }
}
BENCHMARK(BM_HostByNameFromHostsFile);

}  // namespace
