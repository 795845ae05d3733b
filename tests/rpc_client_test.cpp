// The client half of the runtime against scripted servers on real sockets:
// every status a call reports, provoked for real, and the reconnections.
// Connection reuse and endpoint resolution: concurrency/rpc_client_concurrency_test.cpp.
#include <gtest/gtest.h>

#include "platform/rpc/rpc.h"
#include "rpc_script_server.h"
#include "testutil.h"

namespace {

using namespace script;

enum Target { kDirect, kClosedPort, kDropping, kMapped };

struct Step {
  uint16_t op;
  RPC_STATUS want;
  const rpc_server_interface* iface = &kIf;
};

// Calls made one after another on one handle, and the connections the server accepted.
const struct {
  const char* what;
  Mode mode;
  Target target;
  std::vector<Step> calls;
  int connections;
} kCases[] = {
    {"kept connection reset as the request arrives",
     kResetOnSecondCall,
     kDirect,
     {{kEcho, 0}, {kEcho, 0}},
     2},
    {"server closes after reading the request: never sent again",
     kServe,
     kDirect,
     {{kEcho, 0}, {kClose, RPC_S_CALL_FAILED}},
     1},
    {"server closes right after the bind",
     kCloseAfterBind,
     kDirect,
     {{kEcho, RPC_S_CALL_FAILED_DNE}},
     1},
    {"manager slower than the call timeout",
     kServe,
     kDirect,
     {{kSlow, RPC_S_CALL_CANCELLED}, {kEcho, 0}},
     2},
    {"too busy fault", kServe, kDirect, {{kBusy, RPC_S_SERVER_TOO_BUSY}, {kEcho, 0}}, 1},
    {"bind_nak for congestion", kNakBusy, kDirect, {{kEcho, RPC_S_SERVER_TOO_BUSY}}, 1},
    {"fault saying the call did not execute", kServe, kDirect, {{kDne, RPC_S_CALL_FAILED_DNE}}, 1},
    {"unknown interface fault", kServe, kDirect, {{kUnkIf, RPC_S_UNKNOWN_IF}}, 1},
    {"interface not registered", kServe, kDirect, {{kEcho, RPC_S_UNKNOWN_IF, &kOtherIf}}, 1},
    {"closed port", kServe, kClosedPort, {{kEcho, RPC_S_SERVER_UNAVAILABLE}}, 0},
    {"connection attempts dropped", kServe, kDropping, {{kEcho, RPC_S_SERVER_UNAVAILABLE}}, 0},
    {"ept_map without a match", kServe, kMapped, {{kEcho, EPT_S_NOT_REGISTERED, &kOtherIf}}, 0},
};

TEST(RpcClient, EveryStatusProvokedForReal) {
  std::vector<uint8_t> request(12000);  // several fragments each way
  for (size_t i = 0; i < request.size(); ++i) request[i] = static_cast<uint8_t>(i * 13);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    Server server(c.mode);
    const epm_entry mapping = {{}, kIf.syntax, server.port(), ""};
    Server mapper(kServe, {{&kEpmIf, &mapping}}, server.s.addr);
    ScopedSettingsFile settings;
    // Short limits only where they are the point, so that a slow machine fails nothing else.
    settings.Write(std::string("RpcConnectTimeout = dword:") +
                   (c.target == kDropping ? "1" : "30") +
                   "\nRpcCallTimeout = dword:" + (c.calls[0].op == kSlow ? "1" : "0") +
                   "\nRpcEpmapperPort = dword:" + std::to_string(mapper.port()) + "\n");
    Bound closed = BindRandom(), full = BindRandom();  // closed: bound, never listening
    listen(full.fd, 0);  // backlog 0: one connection fills it, further SYNs go unanswered
    int filler = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&full.sa), sizeof full.sa), 0);
    std::string binding = c.target == kClosedPort ? closed.binding
                          : c.target == kDropping ? full.binding
                          : c.target == kMapped   ? "ncacn_ip_tcp:" + server.s.addr
                                                  : server.s.binding;
    RPC_BINDING_HANDLE h = nullptr;
    ASSERT_EQ(RpcBindingFromStringBindingA(binding.c_str(), &h), RPC_S_OK);
    for (const Step& step : c.calls) {
      std::vector<uint8_t> reply;
      EXPECT_EQ(rpc_binding_call(h, step.iface, step.op, request, &reply), step.want);
      EXPECT_EQ(reply, step.want == RPC_S_OK ? request : std::vector<uint8_t>());
    }
    RpcBindingFree(&h);
    EXPECT_EQ(server.accepted, c.connections);
    for (int fd : {filler, full.fd, closed.fd}) close(fd);
  }
}

}  // namespace
