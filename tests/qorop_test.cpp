// The request managers and the domain list: which requests are served here,
// the argument statuses, the list's content and how long it is kept, and
// every allocation failure of the managers, the list and the PDC cache.
#include "federation/qorop.h"

#include <cctype>
#include <cstring>

#include "federation/qor_c.h"
#include "federation_testutil.h"

using namespace fedtest;

namespace {

using Managers = FederationTest;
using DomainList = FederationTest;

// "status text" of a manager's answer, or the status alone; frees the text.
std::string answer(int st, char* text) {
  std::string out = std::to_string(st) + (text != nullptr ? std::string(" ") + text : "");
  qor_free(text);
  return out;
}

std::string hello(const char* domain = nullptr) {
  char* host = nullptr;
  int st = NS__sv_qor_hello(nullptr, domain, &host);
  return answer(st, host);
}

std::string getdomain() {
  char* name = nullptr;
  int st = NS__sv_qor_getdomain(nullptr, &name);
  return answer(st, name);
}

// The status the manager of `op` answers to `request`, called through the
// interface's server stub, which releases whatever the manager handed out.
int served(uint32_t op, const std::vector<uint8_t>& request) {
  const rpc_server_interface& itf = NS__sv_ns_qor_if_v1_1_s_ifspec;
  std::vector<uint8_t> reply;
  EXPECT_EQ(itf.stubs[op](itf.default_epv, request.data(), request.size(), &reply).fault, 0u);
  int32_t st = -1;
  if (reply.size() >= 4) std::memcpy(&st, reply.data() + reply.size() - 4, 4);
  return st;
}

TEST_F(Managers, OwnDomainIsServedHereAndAnyOtherIsForwarded) {
  // No name service to forward through (18), asked again every time; "" names no entry (19).
  configure("", "", "RpcNsDirectory = sz:" + settings.dir() + "/none\nPdcCachePeriod = dword:0\n");
  ASSERT_EQ(start(""), NS_S_OK);
  char binding[] = "ncacn_ip_tcp:127.0.0.1[5000]", host[] = "h";
  char* bindings[] = {binding};
  qor_serverinfo sv{{1, bindings}, host, 0};
  qorobjid none{NS_CLASS_NONE, nullptr, nullptr};
  qorobjects no_members{0, nullptr};
  // Create, get, list, gethost, delete: each served here finds what the one before left.
  const uint32_t ops[] = {QOR_OP_CREATEOBJ, QOR_OP_GETOBJ, QOR_OP_LISTOBJ, QOR_OP_GETHOST,
                          QOR_OP_DELETEOBJ};
  using V = std::vector<int>;
  const V own(5, NS_S_OK), other(5, NS_S_FORWARD), bad(5, NS_S_SYSFAIL);
  // Without a name only a listing goes on.
  const V nameless{NS_S_NOID, NS_S_NOID, NS_S_OK, NS_S_NOID, NS_S_NODATA};
  struct {
    const char* name;
    const char* domain;
    V want;
  } rows[] = {{"S", nullptr, own}, {"S", "home", own}, {"S", "OTHER", other},
              {"S", "", bad},      {"S", "\xff", bad}, {nullptr, nullptr, nameless}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.domain != nullptr ? row.domain : "(null)");
    qorobjid obj{NS_CLASS_SPOOLER, const_cast<char*>(row.name), const_cast<char*>(row.domain)};
    std::vector<uint8_t> requests[5];
    qor_c_marshal_createobj_request(&obj, &none, 1, &sv, &no_members, &requests[0]);
    qor_c_marshal_getobj_request(&obj, &requests[1]);
    qor_c_marshal_listobj_request(&obj, &requests[2]);
    qor_c_marshal_gethost_request(&obj, &requests[3]);
    qor_c_marshal_deleteobj_request(&obj, &requests[4]);
    V got;
    for (int i = 0; i < 5; ++i) got.push_back(served(ops[i], requests[i]));
    EXPECT_EQ(got, row.want);
    int want = row.want[2];
    EXPECT_EQ(domains(row.domain), want == NS_S_OK ? "HOME" : std::to_string(want));
    EXPECT_EQ(hello(row.domain), want == NS_S_OK ? "0 10.7.0.1" : std::to_string(want));
  }
}

TEST_F(Managers, EveryAllocationFailureAnswers14WithNothingHandedOut) {
  configure("SALES 10.1.0.1\nWG -\nNET -\n");
  rpc_binding* ha = nullptr;
  ASSERT_EQ(RpcBindingFromStringBindingA("ncacn_ip_tcp:10.1.0.1[5000]", &ha), RPC_S_OK);
  // A settings reader falls back to its default when memory runs out, so a
  // failure may go unnoticed; every one that shows is a 14 with nothing handed out.
  int runs = for_each_alloc_failure(
      [&] {
        int st = start("PRE 10.0.0.1\nPRE2 10.0.0.2\n");
        auto done = [&](const std::string& text) {
          st = std::isdigit(text[0]) ? std::stoi(text) : NS_S_OK;
          EXPECT_TRUE(st == NS_S_OK || text == std::to_string(st)) << text;
          return st == NS_S_OK;
        };
        // Losing the hosts file setting leaves this machine's name to the system resolver.
        auto hello_here = [] {
          std::string text = hello();
          return text == "19" && qor_alloc_failed() ? "14" : text;
        };
        bool ok = st == NS_S_OK && done(lookup("SALES")) &&
                  done(std::to_string(NS__PdcSetHandle("SALES", ha))) && done(lookup("sales")) &&
                  done(lookup("WG")) && done(domains()) && done(hello_here()) && done(getdomain());
        EXPECT_TRUE(ok || st == NS_S_NOMEM) << st;
        return ok;
      },
      false);
  EXPECT_GT(runs, 20);
  RpcBindingFree(&ha);
}

// Not listed: learned controllers; a directory that cannot be read gives 19 and is not kept.
TEST_F(DomainList, OwnPreloadedAndDirectoryDomainsEachOnceInTheirFirstSpelling) {
  configure("home -\npre -\nAlpha dcx\nalpha -\n", "", "DomainDirectory = sz:/\n");
  ASSERT_EQ(start("PRE 1.1.1.1\nbeta 2.2.2.2\n"), NS_S_OK);
  EXPECT_EQ(domains(), "19");
  configure("home -\npre -\nAlpha dcx\nalpha -\n", "10.0.5.1 dcx\n");
  EXPECT_EQ(lookup("ALPHA"), "0 2: 10.0.5.1");
  EXPECT_EQ(domains(), "Alpha beta HOME PRE");
}

TEST_F(DomainList, KeptForAPeriodGrowingBy60sUpToDomListExpireTime) {
  struct {
    const char* setting;
    std::vector<long> periods;
  } rows[] = {
      {"", {60, 120, 180, 240, 300, 300}},
      {"DomListExpireTime = dword:0xFFFFFFFF\n", {1, 1}},
  };
  for (const auto& row : rows) {
    // The network shows one domain, renamed after every collection.
    auto network = [&](int gen) {
      configure("D" + std::to_string(gen) + " -\n", "", row.setting);
      return "D" + std::to_string(gen) + " HOME";
    };
    std::string seen = network(0);
    ASSERT_EQ(start(""), NS_S_OK);
    EXPECT_EQ(domains(), seen);
    for (size_t i = 0; i < row.periods.size(); ++i) {
      SCOPED_TRACE(testing::Message() << row.setting << " collection " << i);
      std::string next = network(static_cast<int>(i) + 1);
      advance(row.periods[i] - 1);
      EXPECT_EQ(domains(), seen);
      advance(1);
      EXPECT_EQ(domains(), seen = next);
    }
  }
}

}  // namespace
