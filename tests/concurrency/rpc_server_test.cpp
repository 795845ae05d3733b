// The RPC server on real sockets, with calls on several connections at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "../rpc_script_server.h"
#include "../testutil.h"
#include "federation/qor_c.h"
#include "federation/qor_s.h"
#include "platform/rpc/rpc.h"
#include "platform/rpc/rpc_binding.h"
#include "platform/rpc/rpc_server.h"

namespace {

RPC_IF_HANDLE iface = &NS__sv_ns_qor_if_v1_1_s_ifspec;

int answer_domain(void*, char** domain) {
  *domain = strdup("D");
  return 0;
}

// A binding handle to the server, which keeps its connection between calls. A call answers "0:D"
// for status 0 and domain "D" when it ran, else the status the stub raised.
struct TestClient {
  explicit TestClient(const std::string& binding) {
    EXPECT_EQ(RpcBindingFromStringBindingA(binding.c_str(), &h), RPC_S_OK);
  }
  ~TestClient() { RpcBindingFree(&h); }
  std::string Call(bool hello) {
    char* text = nullptr;
    try {
      int result = hello ? NS__cl_qor_hello(h, "SALES", &text) : NS__cl_qor_getdomain(h, &text);
      std::string out = std::to_string(result) + ":" + (text != nullptr ? text : "");
      free(text);
      return out;
    } catch (const rpc_exception& e) {
      return std::to_string(e.status());
    }
  }

  RPC_BINDING_HANDLE h = nullptr;
};

// hello blocks until the test opens the gate.
std::promise<void> entered, gate;
std::shared_future<void> gate_open = gate.get_future().share();

int blocking_hello(void*, const char*, char** host) {
  entered.set_value();
  gate_open.wait();
  *host = strdup("h");
  return 0;
}

// The calls in a service's order and the statuses they answer; while a manager
// blocks, other calls go on, and unregistering and the end of listening wait.
TEST(ConcurrencyRpcServer, ServicesOrderAndABlockedManager) {
  ScopedSettingsFile settings;
  std::string addr = script::RandomLoopback(), good = "RpcListenAddress = sz:" + addr + "\n";
  // A port already taken on the server's address, for the endpoint mapper.
  script::Bound taken = script::BindRandom(addr);
  listen(taken.fd, 1);
  const rpc_server_interface no_managers = {iface->syntax, 0, nullptr, nullptr};
  const rpc_server_interface same_version = {{{7, 0, 0, {}}, 1, 1}, 0, nullptr, nullptr};
  NS__sv_ns_qor_if_v1_1_epv_t epv{};
  epv.qor_getdomain = answer_domain;
  epv.qor_hello = blocking_hello;
  RPC_BINDING_VECTOR* v = nullptr;

  EXPECT_EQ(RpcServerListen(1, 4, 1), RPC_S_NO_PROTSEQS_REGISTERED);
  // A client's protocol sequence of another runtime, and a misspelt one: nothing to call.
  EXPECT_EQ(TestClient("ncacn_np:srv[\\pipe\\x]").Call(false), "1703");
  EXPECT_EQ(TestClient("ncacn_ip_tpc:127.0.0.1[9]").Call(false), "1704");
  settings.Write("RpcListenAddress = sz:nowhere\n");
  EXPECT_EQ(RpcServerUseAllProtseqs(4, nullptr), RPC_S_INVALID_NET_ADDR);
  EXPECT_EQ(RpcServerUseProtseqEpA("ncacn_ip_tcp", 4, "", nullptr), RPC_S_INVALID_ENDPOINT_FORMAT);
  settings.Write(good + "RpcEpmapperPort = dword:" + std::to_string(ntohs(taken.sa.sin_port)) +
                 "\n");
  ASSERT_EQ(RpcServerUseProtseqA("ncacn_ip_tcp", 4, nullptr), RPC_S_OK);
  EXPECT_EQ(RpcServerRegisterIf(&no_managers, nullptr, nullptr), RPC_S_UNKNOWN_MGR_TYPE);
  ASSERT_EQ(RpcServerRegisterIf(iface, nullptr, &epv), RPC_S_OK);
  ASSERT_EQ(RpcServerInqBindings(&v), RPC_S_OK);
  ASSERT_EQ(v->Count, 1u);
  EXPECT_EQ(RpcEpRegisterA(iface, v, nullptr, "qor"), EPT_S_CANT_PERFORM_OP);
  settings.Write(good + "RpcEpmapperPort = dword:0\n");
  EXPECT_EQ(RpcEpRegisterA(iface, v, nullptr, "qor"), RPC_S_OK);
  EXPECT_EQ(RpcEpRegisterA(&same_version, v, nullptr, "other"), RPC_S_OK);
  EXPECT_EQ(RpcEpRegisterA(iface, nullptr, nullptr, "qor"), RPC_S_NO_BINDINGS);
  // One call thread: only the watcher can bring another in to poll.
  ASSERT_EQ(RpcServerListen(1, 4, 1), RPC_S_OK);
  EXPECT_EQ(RpcServerListen(1, 4, 1), RPC_S_ALREADY_LISTENING);
  // A call is taken with the requests held exactly at their limit, turned away past it.
  const rpc_if_entry qor = {iface, &epv};
  ASSERT_EQ(rpc_server_call_begin(qor, RPC_MAX_BUFFERED), 0u);
  rpc_server_call_end(qor);
  EXPECT_EQ(rpc_server_call_begin(qor, RPC_MAX_BUFFERED + 1), NCA_S_SERVER_TOO_BUSY);

  std::string binding = "ncacn_ip_tcp:" + addr + "[" + v->BindingH[0]->endpoint + "]";
  std::string slow_reply;
  std::thread slow([&] { slow_reply = TestClient(binding).Call(true); });
  entered.get_future().wait();
  settings.Write(good + "RpcConnectTimeout = dword:2\n");  // for the end
  TestClient other(binding);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(other.Call(false), "0:D");
  std::vector<uint8_t> none;  // an interface not registered here is refused at the bind
  EXPECT_EQ(rpc_binding_call(other.h, &script::kIf, 0, {}, &none), RPC_S_UNKNOWN_IF);
  TestClient mapper("ncacn_ip_tcp:" + addr + "[" + std::to_string(rpc_server_epmapper_port()) +
                    "]");
  EXPECT_EQ(rpc_binding_call(mapper.h, iface, 0, {}, &none), RPC_S_UNKNOWN_IF);  // the map's alone
  std::atomic<bool> unregistered{false}, stopped{false};
  std::thread unregister([&] {
    EXPECT_EQ(RpcServerUnregisterIf(iface, nullptr, 1), RPC_S_OK);
    unregistered = true;
  });
  std::thread stop([&] {
    EXPECT_EQ(RpcMgmtStopServerListening(nullptr), RPC_S_OK);
    EXPECT_EQ(RpcMgmtWaitServerListen(), RPC_S_OK);
    stopped = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(unregistered || stopped);
  gate.set_value();
  slow.join();
  unregister.join();
  stop.join();
  EXPECT_EQ(slow_reply, "0:h");
  // Listening has ended: the kept connection is closed, a new one never bound.
  EXPECT_EQ(other.Call(false), std::to_string(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_EQ(RpcMgmtStopServerListening(nullptr), RPC_S_NOT_LISTENING);
  for (unsigned long i = 0; i < v->Count; ++i) RpcBindingReset(v->BindingH[i]);  // as exported
  EXPECT_EQ(RpcEpUnregister(iface, v, nullptr), RPC_S_OK);
  EXPECT_EQ(RpcEpUnregister(iface, v, nullptr), EPT_S_NOT_REGISTERED);
  EXPECT_EQ(RpcEpUnregister(&same_version, v, nullptr), RPC_S_OK);
  RpcBindingVectorFree(&v);
  rpc_server_reset();
  close(taken.fd);
}

}  // namespace
