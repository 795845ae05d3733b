// Many threads calling on one binding handle at once: its endpoint is resolved by whichever call
// comes first, each call has a connection of its own, and finished calls hand their connections to
// the next ones, also when the server closes every connection after one call.
#include <gtest/gtest.h>

#include <thread>

#include "../rpc_script_server.h"
#include "../testutil.h"
#include "platform/rpc/rpc.h"

namespace {

using namespace script;

TEST(ConcurrencyRpcClient, ThreadsShareOneHandle) {
  constexpr int kThreads = 72, kCalls = 20;  // more at once than a handle keeps idle
  for (Mode mode : {kServe, kCloseAfterReply}) {
    Server server(mode);
    const epm_entry mapping = {{}, kIf.syntax, server.port(), ""};
    Server mapper(kServe, {{&kEpmIf, &mapping}}, server.s.addr);
    ScopedSettingsFile settings;
    settings.Write("RpcEpmapperPort = dword:" + std::to_string(mapper.port()) + "\n");
    RPC_BINDING_HANDLE h = nullptr;
    ASSERT_EQ(RpcBindingFromStringBindingA(("ncacn_ip_tcp:" + server.s.addr).c_str(), &h),
              RPC_S_OK);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([h, t, mode] {
        for (int i = 0; i < kCalls; ++i) {
          std::vector<uint8_t> request(64 + i, static_cast<uint8_t>(t)), reply;
          ASSERT_EQ(rpc_binding_call(h, &kIf, kEcho, request, &reply), RPC_S_OK) << mode;
          ASSERT_EQ(reply, request);
        }
      });
    }
    for (std::thread& t : threads) t.join();
    RpcBindingFree(&h);
    // Connections are reused: about one a thread, a few more where a full pool closed one.
    EXPECT_LE(server.accepted, mode == kServe ? 2 * kThreads : kThreads * kCalls);
  }
}

}  // namespace
