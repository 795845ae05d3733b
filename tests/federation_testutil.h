// Shared pieces of the federation tests: own domain "HOME", a settings file
// naming a domain directory and a hosts file of the test's directory, a data
// directory for "qorhosts", captured events and a clock the test sets.
#pragma once

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "elog_capture.h"
#include "federation/pdccache.h"
#include "federation/qorop.h"
#include "platform/clock.h"
#include "platform/memory.h"
#include "platform/rpc/rpc.h"
#include "registry/status.h"
#include "settings_file_helper.h"

namespace fedtest {

class FederationTest : public ::testing::Test {
 protected:
  ScopedSettingsFile settings;
  ElogCapture elog;
  long now = std::time(nullptr);

  void SetUp() override {
    static char home[] = "HOME";
    NS__ms_domain = home;
    qor_time_set(now);
  }
  void TearDown() override {
    NS__PdcCacheTerm();
    qor_time_set(0);
  }

  // The settings file: DomainDirectory and HostsFile with these contents, then `extra` lines.
  void configure(const std::string& directory, const std::string& hosts,
                 const std::string& extra = "") {
    settings.Write("DomainDirectory = sz:" + settings.WriteFile("domains", directory) +
                   "\nHostsFile = sz:" + settings.WriteFile("hosts", hosts) + "\n" + extra);
  }
  // A new start: the preload file, the cache built on it, the domain list empty.
  int start(const std::string& qorhosts) {
    settings.WriteFile("qorhosts", qorhosts);
    NS__PdcCacheTerm();
    EXPECT_EQ(NS__InitQorop(), NS_S_OK);
    return NS__PdcCacheInit(settings.dir().c_str());
  }
  void advance(long seconds) { qor_time_set(now += seconds); }

  // Each captured report as `"id",type,["strings"...]`.
  std::vector<std::string> events() const {
    std::vector<std::string> out;
    for (const std::string& line : elog.lines()) {
      size_t from = line.find(":\"") + 1, to = line.find(",\"text\"");
      std::string s = line.substr(from, to - from);
      for (const char* key : {"\"type\":", "\"strings\":"}) s.erase(s.find(key), strlen(key));
      out.push_back(s);
    }
    return out;
  }
};

// "status type: address... [handle]" of a cache lookup; releases what it got.
inline std::string lookup(const char* domain) {
  pdcadrs adrs{-1, nullptr, -1};
  unsigned long type = 0;
  rpc_binding* ha = reinterpret_cast<rpc_binding*>(1);
  int st = NS__PdcGet(domain, &adrs, &type, &ha);
  std::string out = std::to_string(st) + " " + std::to_string(type) + ":";
  for (int i = 0; i < adrs.nadrs; ++i) out += std::string(" ") + adrs.adrs[i];
  if (adrs.nadrs > 0 && adrs.adrstype != NS_PDC_ADRS_IPV4) out += " (adrstype?)";
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

// The domains of the own domain's listdomain, space-separated, or "status N".
inline std::string domains() {
  domainlist list{-1, reinterpret_cast<char**>(1)};
  int st = NS__sv_qor_listdomain(nullptr, nullptr, &list);
  std::string out = st == NS_S_OK ? "" : "status " + std::to_string(st);
  for (int i = 0; i < list.len; ++i) out += (out.empty() ? "" : " ") + std::string(list.val[i]);
  for (int i = 0; i < list.len; ++i) qor_free(list.val[i]);
  qor_free(list.val);
  return out;
}

}  // namespace fedtest
