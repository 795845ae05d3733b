// Forwarding threads sharing a PDC address cache too small for its domains (evicting and relearning
// all the time, storing handles, classifying domains) while listdomain collects under its own lock
// and the clock moves: calls through a preloaded controller and through the name service copy,
// share, replace and free stored handles under calls in progress. Every answer must be the one for
// its domain, and no list may lose a domain.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "../federation_testutil.h"
#include "../rpc_script_server.h"

using namespace fedtest;
using namespace script;

namespace {

using ConcurrencyFederation = FederationTest;

TEST_F(ConcurrencyFederation, CacheAndDomainListAnswerConsistentlyUnderLoad) {
  Server service(kServe, {{&NS__sv_ns_qor_if_v1_1_s_ifspec, &kRemote}});
  const epm_entry map = {{}, NS__sv_ns_qor_if_v1_1_s_ifspec.syntax, service.port(), ""};
  Server mapper(kServe, {{&kEpmIf, &map}}, service.s.addr);
  // D0..D3 have controllers, D4..D7 and WG are workgroups; WG is in the name service.
  configure(
      "D0 10.0.0.0\nD1 10.0.0.1\nD2 10.0.0.2\nD3 10.0.0.3\nD4 -\nD5 -\nD6 -\nD7 -\nWG -\n", "",
      "PdcMaxCache = dword:3\nPdcCachePeriod = dword:5\nRpcEpmapperPort = dword:" +
          std::to_string(mapper.port()) + "\nRpcNsDirectory = sz:" + settings.dir() + "/ns\n");
  ASSERT_EQ(start("PRE " + service.s.addr + "\n"), NS_S_OK);
  rpc_binding* ha = nullptr;
  ASSERT_EQ(RpcBindingFromStringBindingA(("ncacn_ip_tcp:" + service.s.addr).c_str(), &ha), 0);
  export_entry("WG", "ncacn_ip_tcp:" + service.s.addr);
  const std::string all = "D0 D1 D2 D3 D4 D5 D6 D7 HOME PRE WG";
  std::atomic<int> wrong{0}, running{4};
  auto forwarder = [&](int id) {
    for (int i = 0; i < 200; ++i) {
      int d = (i * 3 + id) % 8;
      std::string name = std::string("D").append(std::to_string(d)), answer = lookup(name.c_str());
      bool ok = d < 4 ? answer.rfind("0 2: 10.0.0." + std::to_string(d), 0) == 0
                      : answer[0] == '0' && answer.back() == ':';  // 16, 4 or 8, no address
      int st = d < 4 ? NS__PdcSetHandle(name.c_str(), ha)
                     : NS__PdcSetType(name.c_str(), i % 2 ? NS_PDC_NSFOUND : NS_PDC_NSNONE);
      ok &= st == NS_S_OK || st == NS_S_NOENTRY;  // 15: evicted meanwhile
      if (i % 4 == 0) {
        const char* domain = (i / 4 + id) % 2 ? "PRE" : "WG";
        qorobjid obj{NS_CLASS_SPOOLER, const_cast<char*>("S"), const_cast<char*>(domain)};
        char* host = nullptr;
        ok &= NS__sv_qor_gethost(nullptr, &obj, &host) == NS_S_OK && host != nullptr &&
              strcmp(host, domain) == 0;
        free(host);
      }
      if (!ok || (i % 20 == id && domains() != all)) ++wrong;
    }
    --running;
  };
  std::vector<std::thread> threads;
  for (int id = 0; id < 4; ++id) threads.emplace_back(forwarder, id);
  while (running > 0) {  // entries, stored handles and lists expire while the threads run
    advance(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong, 0);
  RpcBindingFree(&ha);
}

}  // namespace
