// The RPC server's calls in the order a service makes them, with the statuses
// each answers on the way: protocol sequences, interfaces, bindings, the
// endpoint map and listening.
#include <gtest/gtest.h>

#include <functional>

#include "rpc_server_testutil.h"

namespace {

int answer_domain(void*, char** domain) {
  *domain = strdup("D");
  return 0;
}

std::string BindingText(RPC_BINDING_HANDLE b) {
  char* text;
  EXPECT_EQ(RpcBindingToStringBindingA(b, &text), RPC_S_OK);
  std::string out = text;
  RpcStringFreeA(&text);
  return out;
}

TEST(RpcServer, CallsAnswerTheirStatusesInAServicesOrder) {
  ScopedSettingsFile settings;
  std::string addr = RandomLoopback();
  // A port already taken on the server's address, for the endpoint mapper.
  int taken = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, addr.c_str(), &a.sin_addr);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  listen(taken, 1);
  getsockname(taken, reinterpret_cast<sockaddr*>(&a), &len);
  std::string good = "RpcListenAddress = sz:" + addr + "\n";

  RPC_IF_HANDLE iface = &NS__sv_ns_qor_if_v1_1_s_ifspec;
  NS__sv_ns_qor_if_v1_1_epv_t epv{};
  epv.qor_getdomain = answer_domain;
  RPC_BINDING_VECTOR* v = nullptr;
  uint16_t port = 0;
  const struct {
    const char* what;
    std::function<RPC_STATUS()> call;
    RPC_STATUS want;
  } steps[] = {
      {"named elsewhere", [] { return RpcServerUseProtseqA("ncacn_np", 10, nullptr); },
       RPC_S_PROTSEQ_NOT_SUPPORTED},
      {"unknown", [] { return RpcServerUseProtseqA("ncacn_ip_tcpx", 10, nullptr); },
       RPC_S_INVALID_RPC_PROTSEQ},
      {"none", [] { return RpcServerUseProtseqA(nullptr, 10, nullptr); },
       RPC_S_INVALID_RPC_PROTSEQ},
      {"no port", [] { return RpcServerUseProtseqEpA("ncacn_ip_tcp", 10, "70000", nullptr); },
       RPC_S_INVALID_ENDPOINT_FORMAT},
      {"listen first", [] { return RpcServerListen(1, 4, 1); }, RPC_S_NO_PROTSEQS_REGISTERED},
      {"bindings first", [&] { return RpcServerInqBindings(&v); }, RPC_S_NO_BINDINGS},
      {"bad address",
       [&] {
         settings.Write("RpcListenAddress = sz:nowhere\n");
         return RpcServerUseProtseqA("ncacn_ip_tcp", 10, nullptr);
       },
       RPC_S_INVALID_NET_ADDR},
      {"protseq",
       [&] {
         settings.Write(good + "RpcEpmapperPort = dword:" + std::to_string(ntohs(a.sin_port)));
         return RpcServerUseProtseqA("ncacn_ip_tcp", 10, nullptr);
       },
       RPC_S_OK},
      {"no managers", [&] { return RpcServerRegisterIf(iface, nullptr, nullptr); },
       RPC_S_UNKNOWN_MGR_TYPE},
      {"register", [&] { return RpcServerRegisterIf(iface, nullptr, &epv); }, RPC_S_OK},
      {"again", [&] { return RpcServerRegisterIf(iface, nullptr, &epv); },
       RPC_S_TYPE_ALREADY_REGISTERED},
      {"bindings", [&] { return RpcServerInqBindings(&v); }, RPC_S_OK},
      {"mapper port taken", [&] { return RpcEpRegisterA(iface, v, nullptr, "qor"); },
       EPT_S_CANT_PERFORM_OP},
      {"mapper",
       [&] {
         settings.Write(good + "RpcEpmapperPort = dword:0\n");
         return RpcEpRegisterA(iface, v, nullptr, "qor");
       },
       RPC_S_OK},
      {"no calls", [] { return RpcServerListen(1, 0, 1); }, RPC_S_MAX_CALLS_TOO_SMALL},
      {"listen", [] { return RpcServerListen(1, 4, 1); }, RPC_S_OK},
      {"listen again", [] { return RpcServerListen(1, 4, 1); }, RPC_S_ALREADY_LISTENING},
      {"a call",
       [&] { return TestClient(addr, port).Getdomain() == "0:D" ? RPC_S_OK : RPC_S_CALL_FAILED; },
       RPC_S_OK},
      {"unregister", [&] { return RpcServerUnregisterIf(iface, nullptr, 1); }, RPC_S_OK},
      {"unregister again", [&] { return RpcServerUnregisterIf(iface, nullptr, 1); },
       RPC_S_UNKNOWN_IF},
      {"stop", [] { return RpcMgmtStopServerListening(nullptr); }, RPC_S_OK},
      {"wait", [] { return RpcMgmtWaitServerListen(); }, RPC_S_OK},
      {"stop again", [] { return RpcMgmtStopServerListening(nullptr); }, RPC_S_NOT_LISTENING},
      {"wait again", [] { return RpcMgmtWaitServerListen(); }, RPC_S_NOT_LISTENING},
      {"endpoints", [&] { return RpcEpUnregister(iface, v, nullptr); }, RPC_S_OK},
      {"endpoints again", [&] { return RpcEpUnregister(iface, v, nullptr); }, EPT_S_NOT_REGISTERED},
  };
  for (const auto& step : steps) {
    EXPECT_EQ(step.call(), step.want) << step.what;
    if (v != nullptr && port == 0) {
      ASSERT_EQ(v->Count, 1u);
      port = BindingPort(v->BindingH[0]);
      EXPECT_EQ(BindingText(v->BindingH[0]),
                "ncacn_ip_tcp:" + addr + "[" + std::to_string(port) + "]");
    }
  }
  RpcBindingVectorFree(&v);
  rpc_server_reset();
  close(taken);

  // Without an address the server is reached on every local one.
  settings.Write("");
  ASSERT_EQ(RpcServerUseAllProtseqs(10, nullptr), RPC_S_OK);
  ASSERT_EQ(RpcServerInqBindings(&v), RPC_S_OK);
  std::string loopback =
      "ncacn_ip_tcp:127.0.0.1[" + std::to_string(BindingPort(v->BindingH[0])) + "]";
  bool found = false;
  for (unsigned long i = 0; i < v->Count; ++i)
    found = found || BindingText(v->BindingH[i]) == loopback;
  EXPECT_TRUE(found) << loopback;
  RpcBindingVectorFree(&v);
  rpc_server_reset();
}

}  // namespace
