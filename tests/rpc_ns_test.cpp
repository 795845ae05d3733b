// The name-service folder through the Win32 calls: entry names, merging exports, unexports, imports
// and their statuses, and processes sharing the folder at once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "federation_testutil.h"

namespace {

const rpc_server_interface* const kIf = &NS__sv_ns_qor_if_v1_1_s_ifspec;

using Strings = std::vector<std::string>;
using fedtest::ns_export;

// An import's bindings as text, or {"status N"} when its beginning or a next
// answered N (other than 1806 at the end).
Strings Import(const char* entry) {
  Strings out;
  RPC_NS_HANDLE imp = nullptr;
  RPC_STATUS st = RpcNsBindingImportBeginA(RPC_C_NS_SYNTAX_DCE, entry, kIf, nullptr, &imp);
  RPC_BINDING_HANDLE h;
  while (st == RPC_S_OK && (st = RpcNsBindingImportNext(imp, &h)) == RPC_S_OK) {
    char* text;
    RpcBindingToStringBindingA(h, &text);
    out.push_back(text);
    RpcStringFreeA(&text);
    RpcBindingFree(&h);
  }
  RpcNsBindingImportDone(&imp);
  return st == RPC_S_NO_MORE_BINDINGS ? out : Strings{"status " + std::to_string(st)};
}

// Another process sharing the folder, with the bindings ncacn_ip_tcp:10.0.<i/256>.<i%256>:
// with rounds 0, exports first..first+count-1 one export each; else `rounds` times
// exports 0..count-1 at once and unexports them. Exits 0 when every call answered 0.
pid_t Churn(const char* entry, int first, int count, int rounds) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  auto range = [&](int from, int n) {
    Strings b;
    for (int i = from; i < from + n; ++i)
      b.push_back("ncacn_ip_tcp:10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256));
    return ns_export(entry, b);
  };
  for (int i = 0; rounds == 0 && i < count; ++i)
    if (range(first + i, 1) != RPC_S_OK) _exit(1);
  for (int i = 0; i < rounds; ++i) {
    if (range(0, count) != RPC_S_OK || RpcNsBindingUnexportA(3, entry, kIf, nullptr) != RPC_S_OK)
      _exit(1);
  }
  _exit(0);
}

// Entry names and their statuses, and processes sharing the folder at once.
TEST(RpcNs, ProcessesSharingTheFolder) {
  ScopedSettingsFile settings;
  settings.Write("LanGroup = sz:Sales\nComputerName = sz:\nRpcNsDirectory = sz:" + settings.dir() +
                 "/ns/rpc\n");
  const char* entry = "/.../SALES/Varnelith/qor";
  RPC_NS_HANDLE imp = nullptr;
  for (const char* bad : {"Varnelith/qor", "/.../SALES", "/...//x", "/.:/", ""})
    EXPECT_EQ(RpcNsBindingImportBeginA(3, bad, kIf, nullptr, &imp), RPC_S_INVALID_NAME_SYNTAX);
  EXPECT_EQ(RpcNsBindingImportBeginA(3, entry, kIf, &kIf->syntax.uuid, &imp), RPC_S_CANNOT_SUPPORT);

  // Two processes adding one binding at a time to one entry lose none.
  int status;
  for (pid_t pid : {Churn(entry, 0, 60, 0), Churn(entry, 60, 60, 0)}) {
    waitpid(pid, &status, 0);
    EXPECT_EQ(status, 0);
  }
  Strings got = Import("/.:/Varnelith/qor");  // the same entry, named in the local cell
  EXPECT_EQ(got.size(), 120u);
  EXPECT_EQ(std::set<std::string>(got.begin(), got.end()).size(), 120u);
  std::string file = settings.dir() + "/ns/rpc/SALES%2FVarnelith%2Fqor,";  // its documented name
  EXPECT_EQ(0, access((file + "b1da8d70-4984-11d0-b98c-00a0248df91a,1").c_str(), F_OK));
  // A name too long to be stored: exported by nobody, so imported empty.
  EXPECT_EQ(Import(("/.../SALES/" + std::string(100, '.')).c_str()), Strings{});

  // While another process exports and unexports 200 bindings at a time, every
  // import sees all of them or none; imports go on until both were seen a few
  // times (the other process ends early only on a failure).
  ASSERT_EQ(RpcNsBindingUnexportA(3, entry, kIf, nullptr), RPC_S_OK);
  EXPECT_EQ(RpcNsBindingUnexportA(3, entry, kIf, nullptr), RPC_S_INTERFACE_NOT_FOUND);
  pid_t flip = Churn(entry, 0, 200, 1000000);
  std::multiset<size_t> seen;
  bool running = true;
  while ((seen.count(0) < 20 || seen.count(200) < 20) && seen.size() < 5000 &&
         (running = waitpid(flip, &status, WNOHANG) == 0)) {
    seen.insert(Import(entry).size());
  }
  if (running) {
    kill(flip, SIGTERM);
    waitpid(flip, &status, 0);
  }
  EXPECT_TRUE(running) << "flipping failed";
  EXPECT_EQ(seen.count(0) + seen.count(200), seen.size());
  EXPECT_TRUE(seen.count(0) > 0 && seen.count(200) > 0);

  // A write that fails (past the file size limit) and a removal the account may not make (as
  // nobody, in root's folder) answer 1762 and leave the entry as it was.
  ASSERT_EQ(ns_export(entry, {"ncacn_ip_tcp:10.9.9.8"}), RPC_S_OK);  // whatever the flipping left
  Strings before = Import(entry);
  chmod(settings.dir().c_str(), 0755);
  pid_t full = fork();
  if (full == 0) {
    signal(SIGXFSZ, SIG_IGN);
    alarm(10);
    const rlimit none = {0, 0};
    setrlimit(RLIMIT_FSIZE, &none);
    if (ns_export(entry, {"ncacn_ip_tcp:10.9.9.9"}) != RPC_S_NAME_SERVICE_UNAVAILABLE) _exit(1);
    if (setuid(65534) != 0 || Import(entry) != before) _exit(0);
    _exit(RpcNsBindingUnexportA(3, entry, kIf, nullptr) == RPC_S_NAME_SERVICE_UNAVAILABLE ? 0 : 2);
  }
  waitpid(full, &status, 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Import(entry), before);
}

}  // namespace
