// Test helpers for the RPC server: a server of ns_qor_if on a loopback
// address of its own, and a client over a real socket driven by the client
// connection machine (assoc.h).
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "federation/qor_c.h"
#include "federation/qor_s.h"
#include "platform/rpc/assoc.h"
#include "platform/rpc/rpc_server.h"
#include "settings_file_helper.h"

inline std::string RandomLoopback() {
  std::random_device rd;
  return "127." + std::to_string(rd() % 200 + 20) + "." + std::to_string(rd() % 250 + 1) + "." +
         std::to_string(rd() % 250 + 1);
}

// The port of a server binding "ncacn_ip_tcp:ADDR[PORT]".
inline uint16_t BindingPort(RPC_BINDING_HANDLE b) {
  char *text, *endpoint;
  EXPECT_EQ(RpcBindingToStringBindingA(b, &text), RPC_S_OK);
  EXPECT_EQ(RpcStringBindingParseA(text, nullptr, nullptr, nullptr, &endpoint, nullptr), RPC_S_OK);
  uint16_t port = static_cast<uint16_t>(atoi(endpoint));
  RpcStringFreeA(&endpoint);
  RpcStringFreeA(&text);
  return port;
}

// Listening with the given managers until destroyed, which resets the runtime.
struct TestServer {
  TestServer(const NS__sv_ns_qor_if_v1_1_epv_t* epv, unsigned min_calls, unsigned max_calls)
      : addr(RandomLoopback()) {
    settings.Write("RpcListenAddress = sz:" + addr + "\n");
    EXPECT_EQ(RpcServerUseProtseqA("ncacn_ip_tcp", max_calls, nullptr), RPC_S_OK);
    EXPECT_EQ(RpcServerRegisterIf(&NS__sv_ns_qor_if_v1_1_s_ifspec, nullptr, epv), RPC_S_OK);
    RPC_BINDING_VECTOR* v;
    EXPECT_EQ(RpcServerInqBindings(&v), RPC_S_OK);
    port = BindingPort(v->BindingH[0]);
    RpcBindingVectorFree(&v);
    EXPECT_EQ(RpcServerListen(min_calls, max_calls, 1), RPC_S_OK);
  }
  ~TestServer() { rpc_server_reset(); }
  ScopedSettingsFile settings;
  std::string addr;
  uint16_t port = 0;
};

// A connection bound to ns_qor_if.
class TestClient {
 public:
  TestClient(const std::string& addr, uint16_t port) {
    rpc_cconn_init(&cc_, NS__sv_ns_qor_if_v1_1_s_ifspec.syntax, 0);
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, addr.c_str(), &a.sin_addr);
    std::vector<uint8_t> bind;
    rpc_cconn_make_bind(&cc_, 1, &bind);
    bound_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && Send(bind) &&
             Wait(RPC_CCONN_BOUND) == RPC_S_OK;
  }
  ~TestClient() {
    close(fd_);
    rpc_cconn_release(&cc_);
  }
  bool bound() const { return bound_; }

  // The RPC status of one call; the reply stub in *reply.
  int Call(uint32_t opnum, const std::vector<uint8_t>& stub, std::vector<uint8_t>* reply) {
    std::vector<uint8_t> pdus;
    int st = rpc_cconn_make_request(&cc_, ++call_id_, static_cast<uint16_t>(opnum), nullptr,
                                    stub.data(), stub.size(), &pdus);
    if (st == RPC_S_OK) st = Send(pdus) ? Wait(RPC_CCONN_REPLY) : RPC_S_CALL_FAILED;
    if (st != RPC_S_OK) return st;
    size_t len;
    const uint8_t* data = rpc_cconn_reply(&cc_, &len);
    reply->assign(data, data + len);
    return RPC_S_OK;
  }
  // getdomain: the RPC status, or the domain answered after "0:" (its status).
  std::string Getdomain() {
    std::vector<uint8_t> req, reply;
    qor_c_marshal_getdomain_request(&req);
    int st = Call(QOR_OP_GETDOMAIN, req, &reply);
    if (st != RPC_S_OK) return std::to_string(st);
    char* domain = nullptr;
    int result = -1;
    qor_c_unmarshal_getdomain_reply(reply.data(), reply.size(), &domain, &result);
    std::string out = std::to_string(result) + ":" + (domain != nullptr ? domain : "");
    free(domain);
    return out;
  }

 private:
  bool Send(const std::vector<uint8_t>& data) {
    return send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
  }
  int Wait(int event) {
    uint8_t buf[8192];
    for (;;) {
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return RPC_S_CALL_FAILED;
      size_t used;
      int got;
      int st = rpc_cconn_receive(&cc_, buf, static_cast<size_t>(n), &used, &got);
      if (st != RPC_S_OK || got == event) return st;
    }
  }

  int fd_;
  rpc_client_conn cc_;
  uint32_t call_id_ = 1;
  bool bound_ = false;
};
