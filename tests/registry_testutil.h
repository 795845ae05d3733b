// Shared pieces of the registry tests: a temporary data directory with a
// registry built on it, and small builders for the records a test registers.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/fileops.h"
#include "registry/nameobj.h"
#include "registry/status.h"
#include "testutil.h"

namespace regtest {

inline bool exists(const std::string& path) { return std::filesystem::exists(path); }

// A server registration whose strings the caller keeps alive.
struct Server {
  std::vector<char*> bindings;
  qor_serverinfo info{};
  Server(std::vector<const char*> b, const char* host, int auth = 0) {
    for (const char* s : b) bindings.push_back(const_cast<char*>(s));
    info.binding.len = static_cast<int32_t>(bindings.size());
    info.binding.val = bindings.empty() ? nullptr : bindings.data();
    info.host = const_cast<char*>(host);
    info.support_auth = auth;
  }
};

inline qorobjid id(int nsclass, const char* name, const char* domain = nullptr) {
  return qorobjid{nsclass, const_cast<char*>(name), const_cast<char*>(domain)};
}

// *created_out, when given, receives the create's `created` flag.
inline int create_server(int nsclass, const char* name, Server& sv, int force = 0,
                         int* created_out = nullptr) {
  qorobjid obj = id(nsclass, name);
  int created = -1;
  int status = NS__CreateObj(&obj, nullptr, force, &sv.info, nullptr, &created);
  if (created_out != nullptr) *created_out = created;
  return status;
}

inline int create_spooler(const char* name, const char* host = "host1") {
  Server sv({"ncacn_ip_tcp:127.0.0.1[5000]"}, host, 1);
  return create_server(NS_CLASS_SPOOLER, name, sv);
}

inline int create_assoc(int nsclass, const char* name, qorobjid target, int force = 0) {
  qorobjid obj = id(nsclass, name);
  int created = 0;
  return NS__CreateObj(&obj, &target, force, nullptr, nullptr, &created);
}

inline int create_group(int nsclass, const char* name, std::vector<qorobjid> members,
                        int force = 0) {
  qorobjid obj = id(nsclass, name);
  qorobjects mbr{static_cast<int32_t>(members.size()), members.data()};
  int created = 0;
  return NS__CreateObj(&obj, nullptr, force, nullptr, &mbr, &created);
}

inline int delete_obj(int nsclass, const char* name) {
  qorobjid obj = id(nsclass, name);
  return NS__DeleteObj(&obj);
}

// The names a class lists, in order ("class:name" for family listings).
inline std::vector<std::string> names(int nsclass, const char* name = nullptr) {
  qorobjid obj = id(nsclass, name);
  qorobjects objs{};
  std::vector<std::string> out;
  EXPECT_EQ(NS__ListObj(&obj, &objs), NS_S_OK);
  for (int i = 0; i < objs.len; i++) {
    std::string entry = objs.val[i].name;
    if (nsclass == NS_CLASS_ANYPRN || nsclass == NS_CLASS_ANYSVR || name != nullptr)
      entry = std::string(NS__ClassToStr(objs.val[i].nsclass)) + ":" + entry;
    if (name != nullptr) entry += std::string("@") + objs.val[i].domain;
    out.push_back(entry);
  }
  NS__free_qorobjects(&objs);
  return out;
}

// Result of a lookup through the front, copied out and freed.
struct Lookup {
  int status = -1;
  int objclass = -1;
  int server_class = -1;
  std::string server;
  std::vector<std::string> bindings;
  int supportauth = -1;
};

inline Lookup get(int nsclass, const char* name) {
  qorobjid obj = id(nsclass, name);
  qorobjid server{};
  rpcbinding binding{};
  Lookup r;
  r.status = NS__GetObj(&obj, &server, &binding, &r.supportauth, &r.objclass);
  r.server_class = server.nsclass;
  if (server.name) r.server = server.name;
  for (int i = 0; i < binding.len; i++) r.bindings.push_back(binding.val[i]);
  NS__free_qorobjid(&server);
  NS__free_rpcbinding(&binding);
  return r;
}

// The status of a host lookup.
inline int host_of(int nsclass, const char* name) {
  qorobjid obj = id(nsclass, name);
  char* host = nullptr;
  int status = NS__GetHost(&obj, &host);
  qor_free(host);
  return status;
}

// A registry built on a fresh data directory, with own domain "DOM".
class RegistryTest : public ::testing::Test {
 protected:
  TempDir tmp;
  const std::string root = tmp.dir();
  const std::string data = root + "/data";

  void SetUp() override {
    static char domain[] = "DOM";
    NS__ms_domain = domain;
    ASSERT_EQ(NS__InitNameObj(data.c_str()), NS_S_OK);
  }

  void TearDown() override {
    qor_fileops_reset();
    qor_alloc_fail_at(0);
    NS__TermNameObj();
  }

  std::string file(const char* cls, const char* ext = ".dat") const {
    return data + "/" + cls + ext;
  }

  // Rebuilds the registry from the files, as the next start would.
  int restart() {
    NS__TermNameObj();
    return NS__InitNameObj(data.c_str());
  }
};

}  // namespace regtest
