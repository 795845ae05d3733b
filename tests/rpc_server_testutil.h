// Test helpers for the RPC server: a server of ns_qor_if on a loopback
// address of its own, and a client over a real socket driven by the client
// connection machine (assoc.h).
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "federation/qor_c.h"
#include "federation/qor_s.h"
#include "platform/rpc/rpc_binding.h"
#include "platform/rpc/rpc_server.h"
#include "testutil.h"

inline std::string RandomLoopback() {
  std::random_device rd;
  return "127." + std::to_string(rd() % 200 + 20) + "." + std::to_string(rd() % 250 + 1) + "." +
         std::to_string(rd() % 250 + 1);
}

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
  std::string addr = RandomLoopback();
  uint16_t port;
};

// A connection bound to ns_qor_if.
struct TestClient {
  TestClient(const std::string& addr, uint16_t port) {
    rpc_cconn_init(&cc, NS__sv_ns_qor_if_v1_1_s_ifspec.syntax, 0);
    sockaddr_in a{AF_INET, htons(port), {}, {}};
    inet_pton(AF_INET, addr.c_str(), &a.sin_addr);
    std::vector<uint8_t> bind;
    rpc_cconn_make_bind(&cc, 1, &bind);
    bound = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            Exchange(bind, RPC_CCONN_BOUND) == RPC_S_OK;
  }
  ~TestClient() {
    close(fd);
    rpc_cconn_release(&cc);
  }
  // Sends `out`, then reads until `event`: the RPC status.
  int Exchange(const std::vector<uint8_t>& out, int event) {
    if (send(fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) {
      return RPC_S_CALL_FAILED;
    }
    uint8_t buf[8192];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) {
      size_t used;
      int got;
      int st = rpc_cconn_receive(&cc, buf, static_cast<size_t>(n), &used, &got);
      if (st != RPC_S_OK || got == event) return st;
    }
    return RPC_S_CALL_FAILED;
  }
  // The RPC status of a call; "0:D" for status 0 and domain "D" when it ran.
  std::string Call(uint32_t opnum, const std::vector<uint8_t>& stub) {
    std::vector<uint8_t> pdus;
    int st = rpc_cconn_make_request(&cc, ++call_id, static_cast<uint16_t>(opnum), nullptr,
                                    stub.data(), stub.size(), &pdus);
    if (st == RPC_S_OK) st = Exchange(pdus, RPC_CCONN_REPLY);
    if (st != RPC_S_OK) return std::to_string(st);
    size_t len;
    const uint8_t* reply = rpc_cconn_reply(&cc, &len);
    char* text = nullptr;
    int result = -1;
    if (opnum == QOR_OP_GETDOMAIN) qor_c_unmarshal_getdomain_reply(reply, len, &text, &result);
    if (opnum == QOR_OP_HELLO) qor_c_unmarshal_hello_reply(reply, len, &text, &result);
    std::string out = std::to_string(result) + ":" + (text != nullptr ? text : "");
    free(text);
    return out;
  }
  std::string Getdomain() { return Call(QOR_OP_GETDOMAIN, {}); }
  std::string Hello() {
    std::vector<uint8_t> req;
    qor_c_marshal_hello_request("SALES", &req);
    return Call(QOR_OP_HELLO, req);
  }

  int fd = socket(AF_INET, SOCK_STREAM, 0);
  rpc_client_conn cc;
  uint32_t call_id = 1;
  bool bound = false;
};
