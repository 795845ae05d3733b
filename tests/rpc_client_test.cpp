// The client half of the runtime against scripted servers on real sockets:
// every status a call reports, provoked for real, and when a call is sent
// again. Connection reuse and endpoint resolution: concurrency/.
#include <gtest/gtest.h>

#include "platform/rpc/rpc.h"
#include "rpc_script_server.h"
#include "testutil.h"

namespace {

using namespace script;

enum Target { kDirect, kClosedPort, kDropping };
constexpr std::chrono::seconds kFiveSeconds{5};

const rpc_server_interface kTwin = {{{7, 0, 0, {}}, 1, 0}, 5, kStubs, nullptr};  // kIf's version

struct Step {
  uint16_t op;
  RPC_STATUS want;
  const rpc_server_interface* iface = &kIf;
};

// Calls made one after another on one handle, and the connections the server accepted.
const struct {
  const char* what;
  Target target;
  std::vector<Step> calls;
  int connections;
  Mode mode = kServe;
} kCases[] = {
    // A kept connection the server reset as the request arrived: sent again on a new one.
    {"kept connection reset", kDirect, {{kEcho, 0}, {kEcho, 0}}, 2, kResetSecond},
    // The request may have run: it is never sent again, not even when the
    // connection was a kept one.
    {"server closes after reading the request",
     kDirect,
     {{kEcho, 0}, {kClose, RPC_S_CALL_FAILED}},
     1},
    {"manager slower than the call timeout",
     kDirect,
     {{kSlow, RPC_S_CALL_CANCELLED}, {kEcho, 0}},
     2},
    {"too busy fault", kDirect, {{kBusy, RPC_S_SERVER_TOO_BUSY}, {kEcho, 0}}, 1},
    // The request is more than the sockets hold: a reset cuts its sending short.
    {"reset as the request arrives", kDirect, {{kEcho, RPC_S_CALL_FAILED_DNE}}, 1, kResetFirst},
    {"fault saying the call did not execute", kDirect, {{kDne, RPC_S_CALL_FAILED_DNE}}, 1},
    {"interface not registered", kDirect, {{kEcho, RPC_S_UNKNOWN_IF, &kEpmIf}}, 1},
    {"another of the same version: own connection", kDirect, {{kEcho, 0}, {kEcho, 0, &kTwin}}, 2},
    {"closed port", kClosedPort, {{kEcho, RPC_S_SERVER_UNAVAILABLE}}, 0},
    {"connection attempts dropped", kDropping, {{kEcho, RPC_S_SERVER_UNAVAILABLE}}, 0},
};

TEST(RpcClient, EveryStatusProvokedForReal) {
  std::vector<uint8_t> request(2 << 20);  // many fragments each way
  for (size_t i = 0; i < request.size(); ++i) request[i] = static_cast<uint8_t>(i * 13);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    Server server(c.mode, {{&kIf, nullptr}, {&kTwin, nullptr}});
    ScopedSettingsFile settings;
    // Short limits only where they are the point, so that a slow machine fails nothing else.
    settings.Write(std::string("RpcConnectTimeout = dword:") +
                   (c.target == kDropping ? "1" : "30") +
                   "\nRpcCallTimeout = dword:" + (c.calls[0].op == kSlow ? "1" : "0") + "\n");
    Bound closed = BindRandom(), full = BindRandom();  // closed: bound, never listening
    listen(full.fd, 0);  // backlog 0: one connection fills it, further SYNs go unanswered
    int filler = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&full.sa), sizeof full.sa), 0);
    std::string binding = c.target == kClosedPort ? closed.binding
                          : c.target == kDropping ? full.binding
                                                  : server.s.binding;
    RPC_BINDING_HANDLE h = nullptr;
    ASSERT_EQ(RpcBindingFromStringBindingA(binding.c_str(), &h), RPC_S_OK);
    auto start = std::chrono::steady_clock::now();
    for (const Step& step : c.calls) {
      std::vector<uint8_t> reply;
      EXPECT_EQ(rpc_binding_call(h, step.iface, step.op, request, &reply), step.want);
      EXPECT_EQ(reply, step.want == RPC_S_OK ? request : std::vector<uint8_t>());
    }
    // Given up after RpcConnectTimeout's 1 s, not its default 10 s or the kernel's minutes of SYNs.
    EXPECT_TRUE(c.target != kDropping || std::chrono::steady_clock::now() - start < kFiveSeconds);
    RpcBindingFree(&h);
    EXPECT_EQ(server.accepted, c.connections);
    for (int fd : {filler, full.fd, closed.fd}) close(fd);
  }
}

}  // namespace
