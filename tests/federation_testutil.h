// Shared pieces of the federation tests: own domain "HOME" with a registry, a
// settings file naming a domain directory and a hosts file, "qorhosts" in the
// settings file's directory, captured events and a clock the test sets.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "federation/pdccache.h"
#include "federation/qor_s.h"
#include "federation/qorop.h"
#include "platform/clock.h"
#include "platform/memory.h"
#include "platform/rpc/rpc.h"
#include "registry/status.h"
#include "service/qormain.h"
#include "testutil.h"

namespace fedtest {

class FederationTest : public ::testing::Test {
 protected:
  ScopedSettingsFile settings;
  ElogCapture elog;
  long now = std::time(nullptr);
  std::mutex nslock;

  void SetUp() override {
    static char home[] = "HOME";
    NS__ms_domain = home;
    NS__nslock = &nslock;
    qor_time_set(now);
    ASSERT_EQ(NS__InitNameObj((settings.dir() + "/data").c_str()), NS_S_OK);
  }
  void TearDown() override {
    NS__TermNameObj();
    NS__PdcCacheTerm();
    qor_time_set(0);
    NS__nslock = nullptr;
  }
  // The domain directory and hosts file (which also gives this machine
  // 10.7.0.1 and 10.7.0.2), then `extra` settings lines.
  void configure(const std::string& directory, const std::string& hosts = "",
                 const std::string& extra = "") {
    char me[256] = {};
    gethostname(me, sizeof me - 1);
    std::string mine = std::string("10.7.0.1 ") + me + "\n10.7.0.2 " + me + "\n";
    settings.Write("DomainDirectory = sz:" + settings.WriteFile("domains", directory) +
                   "\nHostsFile = sz:" + settings.WriteFile("hosts", hosts + mine) + "\n" + extra);
  }
  // A new start on this preload file: the cache rebuilt, the domain list empty.
  int start(const std::string& qorhosts) {
    settings.WriteFile("qorhosts", qorhosts);
    NS__PdcCacheTerm();
    EXPECT_EQ(NS__InitQorop(), NS_S_OK);
    return NS__PdcCacheInit(settings.dir().c_str());
  }
  void advance(long seconds) { qor_time_set(now += seconds); }
  // Each captured report up to its text: "0x...","type":N,"strings":[...]
  std::vector<std::string> events() const {
    std::vector<std::string> out;
    for (const std::string& l : elog.lines()) out.push_back(l.substr(6, l.find(",\"text") - 6));
    return out;
  }
};

// "0 type: address... [handle]" of a cache lookup, or its status alone when
// it failed with nothing handed out; releases what it got.
inline std::string lookup(const char* domain) {
  pdcadrs adrs{-1, nullptr, -1};
  unsigned long type = 0;
  rpc_binding* ha = nullptr;
  int st = NS__PdcGet(domain, &adrs, &type, &ha);
  std::string out = std::to_string(st);
  if (st != NS_S_OK && (type != NS_PDC_NODC || adrs.nadrs != 0 || ha != nullptr)) out += " left";
  if (st == NS_S_OK) out += " " + std::to_string(type) + ":";
  for (int i = 0; i < adrs.nadrs; ++i) out += std::string(" ") + adrs.adrs[i];
  NS__PdcFreeAdrs(&adrs);
  if (ha != nullptr) {
    char* text = nullptr;
    RpcBindingToStringBindingA(ha, &text);
    out += std::string(" [") + (text ? text : "?") + "]";
    RpcStringFreeA(&text);
    RpcBindingFree(&ha);
  }
  return out;
}

// A remote service: getobj answers spooler S of SALES with one binding,
// gethost the domain asked for.
inline NS__sv_ns_qor_if_v1_1_epv_t remote_epv() {
  NS__sv_ns_qor_if_v1_1_epv_t epv{};
  epv.qor_getobj = [](void*, const qorobjid* obj, qorobjid* server, rpcbinding* binding,
                      int32_t* auth, int* cls) {
    *server = {NS_CLASS_SPOOLER, strdup("S"), strdup("SALES")};
    binding->val = static_cast<char**>(calloc(1, sizeof(char*)));
    binding->val[binding->len++] = strdup("b");
    *auth = 7;
    *cls = obj->nsclass;
    return 0;
  };
  epv.qor_gethost = [](void*, const qorobjid* obj, char** host) {
    return *host = strdup(obj->domain), 0;
  };
  return epv;
}
inline const NS__sv_ns_qor_if_v1_1_epv_t kRemote = remote_epv();

// Exports `bindings` of ns_qor_if under `entry` in the name-service folder; the export's status.
inline RPC_STATUS ns_export(const char* entry, const std::vector<std::string>& bindings) {
  std::vector<RPC_BINDING_HANDLE> handles(bindings.size());
  for (size_t i = 0; i < bindings.size(); ++i)
    EXPECT_EQ(RpcBindingFromStringBindingA(bindings[i].c_str(), &handles[i]), RPC_S_OK);
  RPC_BINDING_VECTOR vec = {handles.size(), handles.data()};
  RPC_STATUS st = RpcNsBindingExportA(RPC_C_NS_SYNTAX_DCE, entry, &NS__sv_ns_qor_if_v1_1_s_ifspec,
                                      &vec, nullptr);
  for (RPC_BINDING_HANDLE& h : handles) RpcBindingFree(&h);
  return st;
}

// Exports `binding` under the domain's entry in the name-service folder.
inline void export_entry(const std::string& domain, const std::string& binding) {
  EXPECT_EQ(ns_export(("/.../" + domain + "/Varnelith/qor").c_str(), {binding}), RPC_S_OK);
}

// The names listdomain answers for `domain`, or its status alone when it failed.
inline std::string domains(const char* domain = nullptr) {
  domainlist list{-1, nullptr};
  int st = NS__sv_qor_listdomain(nullptr, domain, &list);
  std::string out = st == NS_S_OK ? "" : std::to_string(st);
  for (int i = 0; i < list.len; ++i) out.append(out.empty() ? "" : " ").append(list.val[i]);
  for (int i = 0; i < list.len; ++i) qor_free(list.val[i]);
  qor_free(list.val);
  return out;
}

}  // namespace fedtest
