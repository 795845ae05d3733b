// Forwarding to another domain through the managers, against scripted services and endpoint mappers
// on real sockets and the name-service folder: how each failure of a call decides the next step,
// the retry pauses, the stored handle, and the name-service phase with the cache's classification.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "federation_testutil.h"
#include "rpc_script_server.h"

using namespace fedtest;
using namespace script;

namespace {

// ns_qor_if answering every call with one fault.
template <uint32_t kFault>
rpc_server_interface faulting() {
  static rpc_server_stub_t stubs[8];
  std::fill(std::begin(stubs), std::end(stubs), fault<kFault>);
  return {NS__sv_ns_qor_if_v1_1_s_ifspec.syntax, 8, stubs, nullptr};
}

// One address of a domain's controller: the service there and its endpoint mapper.
struct Controller {
  Server service;
  epm_entry map;
  Server mapper;
  Controller(const rpc_server_interface* iface, Mode mode, Mode mapper_mode, uint16_t mapper_port)
      : service(mode, {{iface, &kRemote}}),
        map{{}, iface->syntax, service.port(), ""},
        mapper(mapper_mode, {{&kEpmIf, &map}}, service.s.addr, mapper_port) {}
  int calls() { return static_cast<int>(service.requests().size()); }
};

using Forwarding = FederationTest;

// getobj of spooler S in `domain`: "status class:name@domain class auth bindings".
std::string getobj(const char* domain) {
  qorobjid obj{NS_CLASS_SPOOLER, const_cast<char*>("S"), const_cast<char*>(domain)};
  qorobjid server{-1, nullptr, nullptr};
  rpcbinding binding{-1, nullptr};
  int32_t auth = -1;
  int cls = -1;
  int st = NS__sv_qor_getobj(nullptr, &obj, &server, &binding, &auth, &cls);
  std::string out = std::to_string(st) + " " + std::to_string(server.nsclass) + ":" +
                    (server.name ? server.name : "") + "@" + (server.domain ? server.domain : "") +
                    " " + std::to_string(cls) + " " + std::to_string(auth) + " " +
                    std::to_string(binding.len);
  NS__free_qorobjid(&server);
  NS__free_rpcbinding(&binding);
  return out;
}

const char* kAnswered = "0 3:S@SALES 3 7 1";
const char* kUnanswered = "18 10:@ 10 0 0";
const char* kNoEntry = "7 10:@ 10 0 0";

TEST_F(Forwarding, EachFailureOfACallDecidesTheNextBinding) {
  rpc_server_interface busy = faulting<NCA_S_SERVER_TOO_BUSY>();
  rpc_server_interface dne = faulting<NCA_S_FAULT_UNSPEC>();  // did not execute: 1727
  rpc_server_interface unkif = faulting<NCA_S_UNK_IF>();
  const rpc_server_interface* remote = &NS__sv_ns_qor_if_v1_1_s_ifspec;
  // SALES's controller has two addresses; the second always answers. What the first does decides:
  // the answer, calls and mapper lookups at each address, and which handle the cache keeps.
  const struct {
    const rpc_server_interface* first;
    Mode mode, mapper_mode;
    const char* want;
    const char* trace;
  } rows[] = {
      {remote, kServe, kServe, kAnswered, "calls 1,0 maps 1,0 kept 1"},
      {&busy, kServe, kServe, kAnswered, "calls 11,1 maps 1,1 kept 2"},
      {&dne, kServe, kServe, kAnswered, "calls 5,1 maps 1,1 kept 2"},  // MaxRetry 4
      {&unkif, kServe, kServe, kAnswered, "calls 1,1 maps 1,1 kept 2"},
      // Cut after the request arrived: it may have run, so nothing else is tried.
      {remote, kCloseOnCall, kServe, kUnanswered, "calls 1,0 maps 1,0 kept -"},
      // Endpoint mappers that do not answer: each address is tried once.
      {remote, kServe, kCloseAfterBind, kUnanswered, "calls 0,0 maps 1,1 kept -"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.trace);
    Controller c1(row.first, row.mode, row.mapper_mode, 0);
    Controller c2(remote, kServe, row.mapper_mode, c1.mapper.port());
    configure("SALES dc-sales\n",
              c1.service.s.addr + " dc-sales\n" + c2.service.s.addr + " dc-sales\n",
              "RpcEpmapperPort = dword:" + std::to_string(c1.mapper.port()) + "\n" +
                  (row.first == &dne ? "MaxRetry = dword:4\n" : ""));
    ASSERT_EQ(start(""), NS_S_OK);
    auto trace = [&] {
      std::string kept = lookup("SALES"), ep[] = {c1.service.s.binding, c2.service.s.binding};
      return "calls " + std::to_string(c1.calls()) + "," + std::to_string(c2.calls()) + " maps " +
             std::to_string(c1.mapper.accepted) + "," + std::to_string(c2.mapper.accepted) +
             " kept " +
             (kept.find(ep[0]) != kept.npos   ? "1"
              : kept.find(ep[1]) != kept.npos ? "2"
                                              : "-");
    };
    EXPECT_EQ(getobj("sales"), row.want);
    EXPECT_EQ(trace(), row.trace);
    // A busy binding is called again after 1, 4, 9 ... ms.
    std::vector<std::chrono::steady_clock::time_point> at = c1.service.requests();
    for (size_t i = 1; i < at.size(); ++i)
      EXPECT_GE(at[i] - at[i - 1], std::chrono::milliseconds(i * i)) << i;
    // The next forwarding starts with the kept handle, on the connection the
    // last call left open: no mapper is asked, no connection made.
    if (row.want == kAnswered) {
      Controller& kept = row.trace[std::strlen(row.trace) - 1] == '1' ? c1 : c2;
      int calls = kept.calls(), conns = kept.service.accepted;
      int maps = c1.mapper.accepted + c2.mapper.accepted;
      EXPECT_EQ(getobj("SALES"), kAnswered);
      EXPECT_EQ(kept.calls(), calls + 1);
      EXPECT_EQ(kept.service.accepted, conns);
      EXPECT_EQ(c1.mapper.accepted + c2.mapper.accepted, maps);
    }
  }
}

TEST_F(Forwarding, WorkgroupsAreFoundThroughTheNameServiceAndTheCacheRemembersTheAnswer) {
  Server wg(kServe, {{&NS__sv_ns_qor_if_v1_1_s_ifspec, &kRemote}});
  auto calls = [&] { return wg.requests().size(); };
  Bound dead = BindRandom();  // SALES's controller: bound, never listening
  std::string folder = settings.dir() + "/rpcns";
  auto settings_with = [&](const std::string& extra) {
    configure("WG -\nSALES dc-sales\n", dead.addr + " dc-sales\n",
              "RpcEpmapperPort = dword:" + std::to_string(ntohs(dead.sa.sin_port)) +
                  "\nRpcNsDirectory = sz:" + folder + "\n" + extra);
  };
  settings_with("PdcCachePeriod = dword:100\n");
  ASSERT_EQ(start(""), NS_S_OK);
  // No folder yet: the name service is unavailable at every one of the five
  // import begins, and the workgroup is then known to have no entry.
  EXPECT_EQ(getobj("WG"), kUnanswered);
  EXPECT_EQ(lookup("WG"), "0 8:");
  export_entry("WG", wg.s.binding);
  EXPECT_EQ(getobj("wg"), kNoEntry);  // refused from the cache, without traffic
  advance(100);
  EXPECT_EQ(getobj("wg"), kAnswered);
  EXPECT_EQ(lookup("WG"), "0 4: [" + wg.s.binding + "]");
  EXPECT_EQ(getobj("NOWHERE"), kNoEntry);  // no entry in the folder
  EXPECT_EQ(calls(), 1u);

  // Kept for no time: a domain without an entry is asked about again.
  settings_with("PdcCachePeriod = dword:0\n");
  ASSERT_EQ(start(""), NS_S_OK);
  EXPECT_EQ(getobj("NOWHERE"), kNoEntry);
  export_entry("NOWHERE", wg.s.binding);
  EXPECT_EQ(getobj("NOWHERE"), kAnswered);
  // Its mapper drops the lookup of the endpoint: nothing went out, the next binding is tried.
  Controller cut(&NS__sv_ns_qor_if_v1_1_s_ifspec, kServe, kCloseOnCall, ntohs(dead.sa.sin_port));
  export_entry("CUT", "ncacn_ip_tcp:" + cut.service.s.addr);
  export_entry("CUT", wg.s.binding);
  EXPECT_EQ(getobj("CUT"), kAnswered);

  // Two entries at most, preloaded ones not counted: a learned controller goes
  // first, even when a workgroup was used less recently; then the least recently used.
  settings_with("PdcCachePeriod = dword:100\nPdcMaxCache = dword:2\n");
  ASSERT_EQ(start("P1 10.0.9.1\nP2 10.0.9.2\n"), NS_S_OK);
  EXPECT_EQ(getobj("GHOST"), kNoEntry);
  export_entry("GHOST", wg.s.binding);
  EXPECT_EQ(getobj("SALES"), kUnanswered);
  EXPECT_EQ(getobj("THIRD"), kNoEntry);
  EXPECT_EQ(getobj("GHOST"), kNoEntry);  // still known to have no entry
  EXPECT_EQ(getobj("FOURTH"), kNoEntry);
  EXPECT_EQ(getobj("GHOST"), kNoEntry);
  export_entry("THIRD", wg.s.binding);
  EXPECT_EQ(getobj("THIRD"), kAnswered);  // gone from the cache, so imported again
  EXPECT_EQ(calls(), 4u);
  close(dead.fd);
}

}  // namespace
