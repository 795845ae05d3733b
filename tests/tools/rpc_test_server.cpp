// ns_qor_if on the RPC runtime, for the interop tests and the benchmark:
//   rpc_test_server [--max-calls N] [--timeouts IDLE_MS,PDU_MS]
// Settings from QOR_CONFIG (RpcEpmapperPort 0: the system picks). Prints "port P", "epmapper P",
// "ready"; at SIGTERM or SIGINT a second thread stops it while the first waits for the end of
// listening; exits 0. The managers echo what they get: deleteobj answers obj.nsclass; createobj
// force, with created = bindings + members; getobj {spooler, obj.name, obj.domain}, [obj.name], 7,
// obj.nsclass; listobj atoi(obj.name) objects {i % 11, "obj<i>", obj.domain}; gethost obj.name;
// listdomain [domain, "ENG", "HQ"]; hello sleeps atoi(domain) ms and answers "hello".
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "federation/qor_s.h"
#include "platform/rpc/rpc.h"
#include "platform/rpc/rpc_binding.h"
#include "platform/rpc/rpc_server.h"

namespace {

char* dup(const char* s) { return s == nullptr ? nullptr : strdup(s); }

int t_getdomain(void*, char** domain) {
  *domain = dup("TESTDOM");
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

}  // namespace

int main(int argc, char** argv) {
  unsigned max_calls = 90, idle_ms = 0, pdu_ms = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--max-calls") == 0) max_calls = atoi(argv[i + 1]);
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
  RPC_BINDING_VECTOR* bindings;
  RPC_STATUS st;
  if ((st = RpcServerUseProtseqA("ncacn_ip_tcp", max_calls, nullptr)) ||
      (st = RpcServerRegisterIf(iface, nullptr, &test_epv)) ||
      (st = RpcServerInqBindings(&bindings)) ||
      (st = RpcEpRegisterA(iface, bindings, nullptr, "qor test server")) ||
      (st = RpcServerListen(2, max_calls, 1))) {
    fprintf(stderr, "rpc_test_server: start failed: %ld\n", st);
    return 1;
  }
  printf("port %s\nepmapper %u\nready\n", bindings->BindingH[0]->endpoint,
         rpc_server_epmapper_port());
  fflush(stdout);

  std::thread stopper([&] {
    int sig;
    sigwait(&stop, &sig);
    RpcServerUnregisterIf(iface, nullptr, 1);
    RpcMgmtStopServerListening(nullptr);
  });
  RpcMgmtWaitServerListen();
  stopper.join();
  RpcBindingVectorFree(&bindings);
  rpc_server_reset();
  return 0;
}
