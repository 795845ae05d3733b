// The RPC server's calls in the order a service makes them, with the statuses
// they answer on the way.
#include <gtest/gtest.h>
#include <cstring>

#include <functional>

#include "rpc_server_testutil.h"

namespace {

int answer_domain(void*, char** domain) {
  *domain = strdup("D");
  return 0;
}

TEST(RpcServer, CallsAnswerTheirStatusesInAServicesOrder) {
  ScopedSettingsFile settings;
  std::string addr = script::RandomLoopback(), good = "RpcListenAddress = sz:" + addr + "\n";
  // A port already taken on the server's address, for the endpoint mapper.
  script::Bound taken = script::BindRandom(addr);
  listen(taken.fd, 1);

  RPC_IF_HANDLE iface = &NS__sv_ns_qor_if_v1_1_s_ifspec;
  const rpc_server_interface no_managers = {iface->syntax, 0, nullptr, nullptr};
  NS__sv_ns_qor_if_v1_1_epv_t epv{};
  epv.qor_getdomain = answer_domain;
  RPC_BINDING_VECTOR* v = nullptr;
  auto set = [&](std::string text) { settings.Write(text); };
  const struct {
    std::function<RPC_STATUS()> call;
    RPC_STATUS want;
  } steps[] = {
      {[] { return RpcServerUseProtseqA("ncacn_np", 10, nullptr); }, RPC_S_PROTSEQ_NOT_SUPPORTED},
      {[] { return RpcServerUseProtseqA("ncacn_ip_tcpx", 10, nullptr); },
       RPC_S_INVALID_RPC_PROTSEQ},
      {[] { return RpcServerListen(1, 4, 1); }, RPC_S_NO_PROTSEQS_REGISTERED},
      {[&] { return set("RpcListenAddress = sz:nowhere\n"), RpcServerUseAllProtseqs(10, nullptr); },
       RPC_S_INVALID_NET_ADDR},
      {[&] {
         set(good + "RpcEpmapperPort = dword:" + std::to_string(ntohs(taken.sa.sin_port)) + "\n");
         return RpcServerUseProtseqA("ncacn_ip_tcp", 10, nullptr);
       },
       RPC_S_OK},
      {[&] { return RpcServerRegisterIf(&no_managers, nullptr, nullptr); }, RPC_S_UNKNOWN_MGR_TYPE},
      {[&] { return RpcServerRegisterIf(iface, nullptr, &epv); }, RPC_S_OK},
      {[&] { return RpcServerInqBindings(&v); }, RPC_S_OK},
      {[&] { return RpcEpRegisterA(iface, v, nullptr, "qor"); }, EPT_S_CANT_PERFORM_OP},
      {[&] {
         return set(good + "RpcEpmapperPort = dword:0\n"), RpcEpRegisterA(iface, v, nullptr, "qor");
       },
       RPC_S_OK},
      {[] { return RpcServerListen(1, 4, 1); }, RPC_S_OK},
      {[] { return RpcServerListen(1, 4, 1); }, RPC_S_ALREADY_LISTENING},
      {[&] { return TestClient(addr, ServerPort()).Getdomain() == "0:D" ? 0 : 1; }, RPC_S_OK},
      {[&] { return RpcServerUnregisterIf(iface, nullptr, 1); }, RPC_S_OK},
      {[] { return RpcMgmtStopServerListening(nullptr); }, RPC_S_OK},
      {[] { return RpcMgmtWaitServerListen(); }, RPC_S_OK},
      {[] { return RpcMgmtStopServerListening(nullptr); }, RPC_S_NOT_LISTENING},
      {[&] { return RpcEpUnregister(iface, v, nullptr); }, RPC_S_OK},
      {[&] { return RpcEpUnregister(iface, v, nullptr); }, EPT_S_NOT_REGISTERED},
  };
  for (size_t i = 0; i < std::size(steps); ++i) EXPECT_EQ(steps[i].call(), steps[i].want) << i;
  ASSERT_EQ(v->Count, 1u);
  EXPECT_EQ(std::string(v->BindingH[0]->netaddr), addr);
  RpcBindingVectorFree(&v);
  rpc_server_reset();
  close(taken.fd);

  // Without an address the server is reached on every local one; a loopback
  // address only when the machine has no other.
  set("");
  ASSERT_EQ(RpcServerUseAllProtseqs(10, nullptr), RPC_S_OK);
  ASSERT_EQ(RpcServerInqBindings(&v), RPC_S_OK);
  ASSERT_GE(v->Count, 1u);
  for (unsigned long i = 0; i < v->Count; ++i) {
    bool lo = std::strncmp(v->BindingH[i]->netaddr, "127.", 4) == 0;
    EXPECT_TRUE(!lo || v->Count == 1) << v->BindingH[i]->netaddr;
  }
  RpcBindingVectorFree(&v);
  rpc_server_reset();
}

}  // namespace
