// The request managers and the domain list: which requests are served here,
// the argument statuses, the list's content and how long it is kept, and
// every allocation failure of the managers, the list and the PDC cache.
#include "federation/qorop.h"

#include <unistd.h>

#include <filesystem>

#include "alloc_fail.h"
#include "federation/qor_c.h"
#include "federation_testutil.h"
#include "service/qormain.h"

using namespace fedtest;

namespace {

// A registry and a hosts file that gives this machine's name 10.7.0.1 and 10.7.0.2.
class Managers : public FederationTest {
 protected:
  std::string hosts;
  std::mutex nslock;

  void SetUp() override {
    FederationTest::SetUp();
    NS__nslock = &nslock;
    char name[256] = {};
    ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
    hosts = std::string("10.7.0.1 ") + name + "\n10.7.0.2 " + name + "\n";
    configure("", hosts);
    ASSERT_EQ(start(""), NS_S_OK);
    ASSERT_EQ(NS__InitNameObj((settings.dir() + "/data").c_str()), NS_S_OK);
  }
  void TearDown() override {
    NS__TermNameObj();
    FederationTest::TearDown();
    NS__nslock = nullptr;
  }
};

using DomainList = FederationTest;

std::string take(char* s) {
  std::string out = s != nullptr ? s : "";
  qor_free(s);
  return out;
}

// Calls the manager of `op` with `obj` (object operations) or `domain`; its
// status, and in *out the text of what it answered.
int call(uint32_t op, const qorobjid* obj, const char* domain, std::string* out) {
  out->clear();
  char* text = nullptr;
  int st = -1;
  switch (op) {
    case QOR_OP_CREATEOBJ: {
      char binding[] = "ncacn_ip_tcp:127.0.0.1[5000]", host[] = "h";
      char* bindings[] = {binding};
      qor_serverinfo sv{{1, bindings}, host, 0};
      int32_t created = 0;
      return NS__sv_qor_createobj(nullptr, obj, nullptr, 1, &sv, nullptr, &created);
    }
    case QOR_OP_DELETEOBJ:
      return NS__sv_qor_deleteobj(nullptr, obj);
    case QOR_OP_GETOBJ: {
      qorobjid server{};
      rpcbinding binding{};
      int32_t auth = 0;
      int cls = 0;
      st = NS__sv_qor_getobj(nullptr, obj, &server, &binding, &auth, &cls);
      if (server.name != nullptr) *out = std::string(server.name) + "@" + server.domain;
      NS__free_qorobjid(&server);
      NS__free_rpcbinding(&binding);
      return st;
    }
    case QOR_OP_LISTOBJ: {
      qorobjects objs{};
      st = NS__sv_qor_listobj(nullptr, obj, &objs);
      for (int i = 0; i < objs.len; ++i) *out += objs.val[i].name;
      NS__free_qorobjects(&objs);
      return st;
    }
    case QOR_OP_GETHOST:
      st = NS__sv_qor_gethost(nullptr, obj, &text);
      break;
    case QOR_OP_LISTDOMAIN: {
      domainlist list{};
      st = NS__sv_qor_listdomain(nullptr, domain, &list);
      for (int i = 0; i < list.len; ++i) *out += take(list.val[i]);
      qor_free(list.val);
      return st;
    }
    case QOR_OP_HELLO:
      st = NS__sv_qor_hello(nullptr, domain, &text);
      break;
  }
  *out = take(text);
  return st;
}

TEST_F(Managers, OwnDomainIsServedHereAndAnyOtherIsForwarded) {
  // No name service to forward through (18), asked again every time; "" names no entry (19).
  configure("", hosts,
            "RpcNsDirectory = sz:" + settings.dir() + "/none\nPdcCachePeriod = dword:0\n");
  ASSERT_EQ(start(""), NS_S_OK);
  // In this order, each operation served locally leaves its trace for the next.
  const uint32_t ops[] = {QOR_OP_CREATEOBJ, QOR_OP_GETOBJ,     QOR_OP_LISTOBJ, QOR_OP_GETHOST,
                          QOR_OP_DELETEOBJ, QOR_OP_LISTDOMAIN, QOR_OP_HELLO};
  const char* served[] = {"", "S@HOME", "S", "h", "", "HOME", "10.7.0.1"};
  struct {
    const char* domain;
    int status;  // -1: served here
  } rows[] = {{nullptr, -1},           {"home", -1},
              {"OTHER", NS_S_FORWARD}, {"", NS_S_SYSFAIL},
              {"HOMEX", NS_S_FORWARD}, {"\xff", NS_S_SYSFAIL}};
  for (const auto& row : rows) {
    for (size_t i = 0; i < std::size(ops); ++i) {
      SCOPED_TRACE(testing::Message()
                   << "op " << ops[i] << " domain " << (row.domain ? row.domain : "(null)"));
      qorobjid obj{NS_CLASS_SPOOLER, const_cast<char*>("S"), const_cast<char*>(row.domain)};
      std::string out;
      EXPECT_EQ(call(ops[i], &obj, row.domain, &out), row.status < 0 ? NS_S_OK : row.status);
      EXPECT_EQ(out, row.status < 0 ? served[i] : "");
    }
  }
  // No record, or no name: listings alone need none.
  const int no_obj[] = {NS_S_NOID, NS_S_NOID, NS_S_NOID, NS_S_NOID, NS_S_NODATA};
  const int no_name[] = {NS_S_NOID, NS_S_NOID, NS_S_OK, NS_S_NOID, NS_S_NODATA};
  for (size_t i = 0; i < std::size(no_obj); ++i) {
    qorobjid nameless{NS_CLASS_SPOOLER, nullptr, nullptr};
    std::string out;
    EXPECT_EQ(call(ops[i], nullptr, nullptr, &out), no_obj[i]) << ops[i];
    EXPECT_EQ(call(ops[i], &nameless, nullptr, &out), no_name[i]) << ops[i];
  }
  // A lookup for another domain answers "no object" in every out parameter.
  qorobjid other{NS_CLASS_SPOOLER, const_cast<char*>("S"), const_cast<char*>("OTHER")};
  qorobjid server{};
  rpcbinding binding{};
  int32_t auth = 1;
  int cls = 0;
  EXPECT_EQ(NS__sv_qor_getobj(nullptr, &other, &server, &binding, &auth, &cls), NS_S_FORWARD);
  EXPECT_EQ(server.nsclass, NS_CLASS_NONE);
  EXPECT_EQ(cls, NS_CLASS_NONE);
  EXPECT_EQ(auth, 0);

  // The interface's own managers are these.
  const rpc_server_interface& itf = NS__sv_ns_qor_if_v1_1_s_ifspec;
  std::vector<uint8_t> request, reply;
  ASSERT_EQ(qor_c_marshal_getdomain_request(&request), 0u);
  ASSERT_EQ(
      itf.stubs[QOR_OP_GETDOMAIN](itf.default_epv, request.data(), request.size(), &reply).fault,
      0u);
  char* domain = nullptr;
  int result = -1;
  ASSERT_EQ(qor_c_unmarshal_getdomain_reply(reply.data(), reply.size(), &domain, &result), 0u);
  EXPECT_EQ(result, NS_S_OK);
  EXPECT_EQ(take(domain), "HOME");
}

TEST_F(Managers, EveryAllocationFailureAnswers14WithEmptyOutputs) {
  configure("SALES 10.1.0.1\nWG -\nNET -\n", hosts);
  rpc_binding* ha = nullptr;
  ASSERT_EQ(RpcBindingFromStringBindingA("ncacn_ip_tcp:10.1.0.1[5000]", &ha), RPC_S_OK);
  auto pdc = [](const char* domain) {
    std::string text = lookup(domain);
    int st = std::stoi(text);
    if (st != NS_S_OK) {
      EXPECT_EQ(text, std::to_string(st) + " 16:");
    }
    return st;
  };
  // Settings readers fall back to their defaults when memory runs out, so a
  // failure may also go unnoticed; every one that shows must be a clean 14.
  int runs = for_each_alloc_failure(
      [&] {
        int st = start("PRE 10.0.0.1\nPRE2 10.0.0.2\n");
        if (st == NS_S_OK) st = pdc("SALES");
        if (st == NS_S_OK) st = NS__PdcSetHandle("SALES", ha);
        if (st == NS_S_OK) st = pdc("sales");
        if (st == NS_S_OK) st = pdc("WG");
        if (st == NS_S_OK) {
          std::string list = domains();
          st = list.rfind("status ", 0) == 0 ? std::stoi(list.substr(7)) : NS_S_OK;
        }
        char* text = nullptr;
        if (st == NS_S_OK) st = NS__sv_qor_getdomain(nullptr, &text);
        qor_free(text);
        std::string out;
        if (st == NS_S_OK) {
          st = call(QOR_OP_HELLO, nullptr, nullptr, &out);
          // The hosts file setting lost to the failure leaves the name to the
          // system resolver, which may not know it.
          if (st == NS_S_SYSFAIL && qor_alloc_failed()) st = NS_S_NOMEM;
          EXPECT_TRUE(st == NS_S_OK || out.empty());
        }
        EXPECT_TRUE(st == NS_S_OK || st == NS_S_NOMEM) << st;
        return st == NS_S_OK;
      },
      false);
  EXPECT_GT(runs, 20);
  RpcBindingFree(&ha);
}

TEST_F(DomainList, OwnPreloadedAndNetworkDomainsOnceEachInTheSpellingMetFirst) {
  configure("SALES 10.0.0.1\nhome -\nBeta -\nalpha -\nbeta -\n", "");
  ASSERT_EQ(start("sales 10.0.0.2\nAlpha 10.0.0.3\n"), NS_S_OK);
  EXPECT_EQ(domains(), "Alpha Beta HOME sales");
  configure("", "");
  ASSERT_EQ(start(""), NS_S_OK);
  EXPECT_EQ(domains(), "HOME");
  // A network that cannot be enumerated leaves no list: the next request collects again.
  ASSERT_EQ(start(""), NS_S_OK);
  settings.Write("DomainDirectory = sz:" + settings.dir() + "\n");
  EXPECT_EQ(domains(), "status 19");
  configure("NET -\n", "");
  EXPECT_EQ(domains(), "HOME NET");
}

TEST_F(DomainList, KeptForAPeriodGrowingBy60sUpToDomListExpireTime) {
  struct {
    const char* setting;
    std::vector<long> periods;
  } rows[] = {
      {"", {60, 120, 180, 240, 300, 300}},
      {"DomListExpireTime = dword:150\n", {60, 120, 150, 150}},
      {"DomListExpireTime = dword:30\n", {30, 30}},
      {"DomListExpireTime = dword:0\n", {1, 1}},
      {"DomListExpireTime = dword:0xFFFFFFFF\n", {1}},
  };
  for (const auto& row : rows) {
    // The network shows one domain, renamed after every collection.
    int gen = 0;
    auto seen = [&](int g) { return "D" + std::to_string(g) + " HOME"; };
    configure("D0 -\n", "", row.setting);
    ASSERT_EQ(start(""), NS_S_OK);
    EXPECT_EQ(domains(), seen(0));
    for (long period : row.periods) {
      SCOPED_TRACE(testing::Message() << row.setting << " collection " << gen);
      configure("D" + std::to_string(++gen) + " -\n", "", row.setting);
      advance(period - 1);
      EXPECT_EQ(domains(), seen(gen - 1));
      advance(1);
      EXPECT_EQ(domains(), seen(gen));
    }
  }
}

}  // namespace
