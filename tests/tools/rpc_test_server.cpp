// An ns_qor_if server on the RPC runtime with managers of its own, for the
// interop tests and the benchmark. Settings come from QOR_CONFIG
// (RpcListenAddress, RpcEpmapperPort; 0 lets the system pick the mapper's
// port).
//
//   rpc_test_server [--domain NAME] [--max-calls N] [--min-calls N]
//                   [--port P] [--timeouts IDLE_MS,PDU_MS]
//
// Prints "port P", "epmapper P" and one "binding B" per listening address,
// then "ready", and serves until SIGTERM or SIGINT; then stops the server as
// the service does and exits 0.
//
// The managers echo what they are given, so that a client can check both
// directions of every operation:
//   getdomain              the --domain name ("TESTDOM")
//   deleteobj(obj)         status obj.nsclass
//   createobj(...)         created = bindings + members; status force
//   getobj(obj)            server {spooler, obj.name, obj.domain}, bindings
//                          [obj.name], supportauth 7, class obj.nsclass
//   listobj(obj)           obj.name read as a number N: N objects
//                          {i % 11, "obj<i>", obj.domain}
//   gethost(obj)           obj.name
//   listdomain(domain)     [domain, "ENG", "HQ"]
//   hello(domain)          sleeps domain-as-milliseconds, then host "hello"
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "federation/qor_s.h"
#include "platform/rpc/rpc.h"
#include "platform/rpc/rpc_server.h"

namespace {

const char* domain_name = "TESTDOM";

char* dup(const char* s) { return s == nullptr ? nullptr : strdup(s); }

int t_getdomain(void*, char** domain) {
  *domain = dup(domain_name);
  return 0;
}

int t_deleteobj(void*, const qorobjid* obj) { return obj->nsclass; }

int t_createobj(void*, const qorobjid*, const qorobjid*, int32_t force,
                const qor_serverinfo* svinfo, const qorobjects* members, int32_t* created) {
  *created = svinfo->binding.len + members->len;
  return force;
}

int t_getobj(void*, const qorobjid* obj, qorobjid* server, rpcbinding* binding,
             int32_t* supportauth, int* nsclass) {
  *server = {NS_CLASS_SPOOLER, dup(obj->name), dup(obj->domain)};
  binding->len = 1;
  binding->val = static_cast<char**>(calloc(1, sizeof(char*)));
  binding->val[0] = dup(obj->name);
  *supportauth = 7;
  *nsclass = obj->nsclass;
  return 0;
}

int t_listobj(void*, const qorobjid* obj, qorobjects* objects) {
  int n = obj->name != nullptr ? atoi(obj->name) : 0;
  if (n <= 0) return 0;
  objects->len = n;
  objects->val = static_cast<qorobjid*>(calloc(n, sizeof(qorobjid)));
  for (int i = 0; i < n; ++i) {
    char name[32];
    snprintf(name, sizeof name, "obj%d", i);
    objects->val[i] = {i % NS_CLASS_COUNT, dup(name), dup(obj->domain)};
  }
  return 0;
}

int t_gethost(void*, const qorobjid* obj, char** host) {
  *host = dup(obj->name);
  return 0;
}

int t_listdomain(void*, const char* domain, domainlist* list) {
  const char* names[] = {domain, "ENG", "HQ"};
  list->len = 3;
  list->val = static_cast<char**>(calloc(3, sizeof(char*)));
  for (int i = 0; i < 3; ++i) list->val[i] = dup(names[i]);
  return 0;
}

int t_hello(void*, const char* domain, char** host) {
  std::this_thread::sleep_for(std::chrono::milliseconds(atoi(domain)));
  *host = dup("hello");
  return 0;
}

const NS__sv_ns_qor_if_v1_1_epv_t test_epv = {t_getdomain, t_deleteobj, t_createobj,  t_getobj,
                                              t_listobj,   t_gethost,   t_listdomain, t_hello};

int fail(const char* what, RPC_STATUS st) {
  fprintf(stderr, "rpc_test_server: %s: %ld\n", what, st);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned max_calls = 90, min_calls = 2, idle_ms = 0, pdu_ms = 0;
  const char* port = nullptr;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--domain") == 0) domain_name = argv[i + 1];
    if (strcmp(argv[i], "--max-calls") == 0) max_calls = atoi(argv[i + 1]);
    if (strcmp(argv[i], "--min-calls") == 0) min_calls = atoi(argv[i + 1]);
    if (strcmp(argv[i], "--port") == 0) port = argv[i + 1];
    if (strcmp(argv[i], "--timeouts") == 0) sscanf(argv[i + 1], "%u,%u", &idle_ms, &pdu_ms);
  }
  // The runtime's threads inherit the mask: only sigwait sees the signals.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  rpc_net_set_timeouts(idle_ms, pdu_ms);

  RPC_IF_HANDLE iface = &NS__sv_ns_qor_if_v1_1_s_ifspec;
  RPC_STATUS st = port != nullptr ? RpcServerUseProtseqEpA("ncacn_ip_tcp", max_calls, port, nullptr)
                                  : RpcServerUseProtseqA("ncacn_ip_tcp", max_calls, nullptr);
  if (st != RPC_S_OK) return fail("protocol sequence", st);
  if ((st = RpcServerRegisterIf(iface, nullptr, &test_epv)) != RPC_S_OK) {
    return fail("register", st);
  }
  RPC_BINDING_VECTOR* bindings;
  if ((st = RpcServerInqBindings(&bindings)) != RPC_S_OK) return fail("bindings", st);
  if ((st = RpcEpRegisterA(iface, bindings, nullptr, "qor test server")) != RPC_S_OK) {
    return fail("endpoint mapper", st);
  }
  if ((st = RpcServerListen(min_calls, max_calls, 1)) != RPC_S_OK) return fail("listen", st);
  for (unsigned long i = 0; i < bindings->Count; ++i) {
    char* text;
    if (RpcBindingToStringBindingA(bindings->BindingH[i], &text) != RPC_S_OK) continue;
    const char* ep = strrchr(text, '[');
    if (i == 0 && ep != nullptr) printf("port %.*s\n", static_cast<int>(strlen(ep) - 2), ep + 1);
    printf("binding %s\n", text);
    RpcStringFreeA(&text);
  }
  printf("epmapper %u\nready\n", rpc_server_epmapper_port());
  fflush(stdout);

  int sig;
  sigwait(&stop, &sig);
  RpcServerUnregisterIf(iface, nullptr, 1);
  RpcMgmtStopServerListening(nullptr);
  RpcMgmtWaitServerListen();
  RpcBindingVectorFree(&bindings);
  rpc_server_reset();
  return 0;
}
