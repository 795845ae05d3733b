// The client half of the runtime against scripted servers on real sockets:
// every status a call reports, provoked for real, connection reuse and
// reconnection, endpoint resolution through ept_map, and the client stubs.
#include <gtest/gtest.h>

#include <cstring>

#include "federation/qor_c.h"
#include "federation/qor_s.h"
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
    {"kept connection reused", kServe, kDirect, {{kEcho, 0}, {kEcho, 0}, {kEcho, 0}}, 1},
    {"idle connection closed by the server",
     kCloseAfterReply,
     kDirect,
     {{kEcho, 0}, {kEcho, 0}},
     2},
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
    {"endpoint resolved with ept_map", kServe, kMapped, {{kEcho, 0}, {kEcho, 0}}, 1},
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

// Managers answering 100 + their operation number; hello sends its domain back as host.
const NS__sv_ns_qor_if_v1_1_epv_t kManagers = {
    [](void*, char**) { return 100; },
    [](void*, const qorobjid*) { return 101; },
    [](void*, const qorobjid*, const qorobjid*, int32_t, const qor_serverinfo*, const qorobjects*,
       int32_t*) { return 102; },
    [](void*, const qorobjid*, qorobjid*, rpcbinding*, int32_t*, int*) { return 103; },
    [](void*, const qorobjid*, qorobjects*) { return 104; },
    [](void*, const qorobjid*, char**) { return 105; },
    [](void*, const char*, domainlist*) { return 106; },
    [](void*, const char* domain, char** host) { return *host = strdup(domain), 107; }};

TEST(RpcClient, StubsCallTheirOperationAndRaiseFailures) {
  Server server(kServe, {{&NS__sv_ns_qor_if_v1_1_s_ifspec, &kManagers}});
  RPC_BINDING_HANDLE h = nullptr;
  ASSERT_EQ(RpcBindingFromStringBindingA(server.s.binding.c_str(), &h), RPC_S_OK);
  qorobjid obj = {2, const_cast<char*>("lp1"), nullptr};
  qor_serverinfo info = {};
  qorobjects objs = {};
  qorobjid server_id;
  rpcbinding bindings;
  domainlist list;
  int32_t i32;
  int cls;
  char* text = nullptr;
  EXPECT_EQ(NS__cl_qor_getdomain(h, &text), 100);
  EXPECT_EQ(NS__cl_qor_deleteobj(h, &obj), 101);
  EXPECT_EQ(NS__cl_qor_createobj(h, &obj, &obj, 1, &info, &objs, &i32), 102);
  EXPECT_EQ(NS__cl_qor_getobj(h, &obj, &server_id, &bindings, &i32, &cls), 103);
  EXPECT_EQ(NS__cl_qor_listobj(h, &obj, &objs), 104);
  EXPECT_EQ(NS__cl_qor_gethost(h, &obj, &text), 105);
  EXPECT_EQ(NS__cl_qor_listdomain(h, "SALES", &list), 106);
  EXPECT_EQ(NS__cl_qor_hello(h, "ENG", &text), 107);
  EXPECT_STREQ(text, "ENG");
  RpcBindingFree(&h);

  // A failed call raises its status and leaves the out parameters empty.
  Bound closed = BindRandom();
  ASSERT_EQ(RpcBindingFromStringBindingA(closed.binding.c_str(), &h), RPC_S_OK);
  char* stale = text;
  EXPECT_THROW(
      try { NS__cl_qor_hello(h, "ENG", &text); } catch (const rpc_exception& e) {
        EXPECT_EQ(e.status(), RPC_S_SERVER_UNAVAILABLE);
        throw;
      },
      rpc_exception);
  EXPECT_EQ(text, nullptr);
  free(stale);
  RpcBindingFree(&h);
  close(closed.fd);
}

}  // namespace
