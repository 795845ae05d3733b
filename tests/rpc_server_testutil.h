// Test helpers for the RPC server: a server of ns_qor_if on a loopback
// address of its own, and a client calling it through the client stubs.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "federation/qor_c.h"
#include "federation/qor_s.h"
#include "platform/rpc/rpc.h"
#include "platform/rpc/rpc_binding.h"
#include "platform/rpc/rpc_server.h"
#include "rpc_script_server.h"
#include "testutil.h"

// The port of the server's first binding.
inline uint16_t ServerPort() {
  RPC_BINDING_VECTOR* v;
  if (RpcServerInqBindings(&v) != RPC_S_OK) return 0;
  uint16_t port = static_cast<uint16_t>(atoi(v->BindingH[0]->endpoint));
  RpcBindingVectorFree(&v);
  return port;
}

// Listening with the given managers until destroyed, which resets the runtime.
struct TestServer {
  TestServer(const NS__sv_ns_qor_if_v1_1_epv_t* epv, unsigned min_calls, unsigned max_calls) {
    settings.Write("RpcListenAddress = sz:" + addr + "\n");
    EXPECT_EQ(RpcServerUseProtseqA("ncacn_ip_tcp", max_calls, nullptr), RPC_S_OK);
    EXPECT_EQ(RpcServerRegisterIf(&NS__sv_ns_qor_if_v1_1_s_ifspec, nullptr, epv), RPC_S_OK);
    port = ServerPort();
    EXPECT_EQ(RpcServerListen(min_calls, max_calls, 1), RPC_S_OK);
  }
  ~TestServer() { rpc_server_reset(); }
  ScopedSettingsFile settings;
  std::string addr = script::RandomLoopback();
  uint16_t port;
};

// A binding handle to the server, which keeps its connection between calls.
// A call answers "0:D" for status 0 and domain "D" when it ran, else the
// status the stub raised.
struct TestClient {
  TestClient(const std::string& addr, uint16_t port) {
    std::string binding = "ncacn_ip_tcp:" + addr + "[" + std::to_string(port) + "]";
    EXPECT_EQ(RpcBindingFromStringBindingA(binding.c_str(), &h), RPC_S_OK);
  }
  ~TestClient() { RpcBindingFree(&h); }
  std::string Getdomain() { return Call(false); }
  std::string Hello() { return Call(true); }
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
