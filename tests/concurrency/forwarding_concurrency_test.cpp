// Threads forwarding to two domains at once, one through its preloaded
// controller and one through the name service, while cache entries expire:
// stored handles are copied, shared, replaced and freed under calls in
// progress, and every call must still be answered by the other side.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "../federation_testutil.h"
#include "../rpc_script_server.h"
#include "federation/qor_s.h"

using namespace fedtest;
using namespace script;

namespace {

using ConcurrencyForwarding = FederationTest;

// A remote service: gethost answers the domain asked for.
NS__sv_ns_qor_if_v1_1_epv_t remote_epv() {
  NS__sv_ns_qor_if_v1_1_epv_t epv{};
  epv.qor_gethost = [](void*, const qorobjid* obj, char** host) {
    return *host = strdup(obj->domain), 0;
  };
  return epv;
}
const NS__sv_ns_qor_if_v1_1_epv_t kRemote = remote_epv();

TEST_F(ConcurrencyForwarding, CallsShareStoredHandlesWhileEntriesExpire) {
  Server service(kServe, {{&NS__sv_ns_qor_if_v1_1_s_ifspec, &kRemote}});
  const epm_entry map = {{}, NS__sv_ns_qor_if_v1_1_s_ifspec.syntax, service.port(), ""};
  Server mapper(kServe, {{&kEpmIf, &map}}, service.s.addr);
  configure("WG -\n", "",
            "RpcEpmapperPort = dword:" + std::to_string(mapper.port()) +
                "\nPdcCachePeriod = dword:2\nRpcNsDirectory = sz:" + settings.dir() + "/ns\n");
  ASSERT_EQ(start("PRE " + service.s.addr + "\n"), NS_S_OK);
  RPC_BINDING_HANDLE h = nullptr;
  ASSERT_EQ(RpcBindingFromStringBindingA(("ncacn_ip_tcp:" + service.s.addr).c_str(), &h), 0);
  RPC_BINDING_VECTOR v{1, &h};
  ASSERT_EQ(RpcNsBindingExportA(RPC_C_NS_SYNTAX_DCE, "/.../WG/Varnelith/qor",
                                &NS__sv_ns_qor_if_v1_1_s_ifspec, &v, nullptr),
            RPC_S_OK);
  RpcBindingFree(&h);
  std::atomic<int> wrong{0}, running{4};
  auto forwarder = [&](int id) {
    for (int i = 0; i < 50; ++i) {
      const char* domain = (i + id) % 2 ? "PRE" : "WG";
      qorobjid obj{NS_CLASS_SPOOLER, const_cast<char*>("S"), const_cast<char*>(domain)};
      char* host = nullptr;
      if (NS__sv_qor_gethost(nullptr, &obj, &host) != NS_S_OK || host == nullptr ||
          strcmp(host, domain) != 0) {
        ++wrong;
      }
      free(host);
    }
    --running;
  };
  std::vector<std::thread> threads;
  for (int id = 0; id < 4; ++id) threads.emplace_back(forwarder, id);
  while (running > 0) {  // WG's entry, with its stored handle, expires again and again
    advance(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong, 0);
}

}  // namespace
