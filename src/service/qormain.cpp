#include "service/qormain.h"

#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define QOR_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QOR_LEAK_CHECK 1
#endif
#endif
#if QOR_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "federation/pdccache.h"
#include "federation/qor_c.h"
#include "federation/qor_s.h"
#include "federation/qorop.h"
#include "federation/user_mem.h"
#include "platform/lasterror.h"
#include "platform/mbstring.h"
#include "platform/memory.h"
#include "platform/netapi.h"
#include "platform/rpc/rpc.h"
#include "platform/svcctl.h"
#include "platform/thread.h"
#include "registry/nameobj.h"
#include "registry/status.h"
#include "service/elog.h"
#include "service/qorutil.h"

int forcerun = 0;
std::mutex* NS__nslock = nullptr;

namespace {

// Start-up and stop wait hint; the reporter re-reports at half of it.
constexpr uint32_t QOR_WAIT_HINT_MS = 90000;
// How long svcmain waits for the reporter after a successful and a failed start.
constexpr uint32_t QOR_REPORTER_WAIT_MS = 90000;
constexpr uint32_t QOR_REPORTER_WAIT_FAILED_MS = 180000;
// The longest a stop of the RPC server may take before the run ends anyway.
constexpr uint32_t QOR_RPC_STOP_WAIT_MS = 120000;
// Re-report interval of the stop pending state during a shutdown.
constexpr uint32_t QOR_SHUTDOWN_REPORT_MS = 45000;
// Service controls accepted while running: stop and shutdown.
constexpr uint32_t QOR_CONTROLS = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;

// Written once by the main thread before other threads start; atomic so that
// a stop request racing a test's creation is still well defined.
std::atomic<qor_event*> endproc{nullptr};
// The state as svcmain and svcctrl last set it, for an interrogation.
std::atomic<uint32_t> svcstatus{SERVICE_STOPPED};
std::atomic<SERVICE_STATUS_HANDLE> ssh{0};

// Argument of the start-pending reporter: its own copy of the status record
// and the event that ends it. svcmain frees both once the reporter has ended:
// the reporter cannot, since signal() may still be inside the event when the
// reporter wakes.
struct pdrep_arg {
  SERVICE_STATUS ss;
  qor_event* pdend;
};

// Server types of check_server_type.
constexpr int QOR_SERVER_PDC = 0;        // the Primary Domain Controller of its domain
constexpr int QOR_SERVER_MEMBER = 1;     // a domain member; the controller is another machine
constexpr int QOR_SERVER_WORKGROUP = 2;  // no domain controller: a workgroup

// At most this many imports of the entry are begun by the may-I-run check.
constexpr int QOR_NS_IMPORT_ATTEMPTS = 10;
// Tries of getdomain on a busy binding.
constexpr int QOR_GETDOMAIN_TRIES = 10;
// Defaults of "RpcMaxCall" (calls at once) and "RpcMinCall" (call threads kept ready).
constexpr uint32_t QOR_DEFAULT_MAX_CALL = 90;
constexpr uint32_t QOR_DEFAULT_MIN_CALL = 10;

// The protocol sequences used without "RpcProtocolSequence".
const char* const def_pseq_strings[] = {"ncacn_ip_tcp", nullptr};
char** const def_pseq = const_cast<char**>(def_pseq_strings);

RPC_IF_HANDLE qor_ifspec() { return &NS__sv_ns_qor_if_v1_1_s_ifspec; }

void report_win32_error(uint32_t error, uint32_t location) {
  NS__Log_UU(NS_EVENT_ERROR, NS_EV_WIN32, error, location);
}

// ---- Start-pending reporter and shutdown thread ----

void* pdreport(void* p) {
  auto* arg = static_cast<pdrep_arg*>(p);
  uint32_t interval = arg->ss.dwWaitHint / 2;
  if (static_cast<int32_t>(interval) <= 0) interval = 1000;
  uint32_t checkpoint = arg->ss.dwCheckPoint + 1;
  while (arg->pdend->wait(interval) == QOR_WAIT_TIMEOUT) {
    arg->ss.dwCheckPoint = checkpoint++;
    qor_svc_report(ssh.load(), &arg->ss);
  }
  return nullptr;
}

void* shutdown_svc(void*) {
  qor_term();
  qor_event* ev = endproc.load(std::memory_order_acquire);
  if (ev == nullptr || !ev->signal()) qor_exit();
  return nullptr;
}

// ---- Start-up checks ----

// The LAN group of this machine as a new string. 0; 14; 19 when the
// workstation record cannot be had or its name is not valid text.
int get_langroup(char** langroup) {
  *langroup = nullptr;
  LPBYTE buf = nullptr;
  if (NetWkstaGetInfo(nullptr, 101, &buf) != NERR_Success) return NS_S_SYSFAIL;
  const auto* info = reinterpret_cast<const WKSTA_INFO_101*>(buf);
  int status = NS_S_OK;
  // The "wide" name is UTF-8 here: its conversion is a copy that still
  // refuses text that is not UTF-8.
  if (!qor_utf8_valid(info->wki101_langroup)) {
    status = NS_S_SYSFAIL;
  } else {
    *langroup = qor_strdup(info->wki101_langroup);
    if (*langroup == nullptr) status = NS_S_NOMEM;
  }
  NetApiBufferFree(buf);
  return status;
}

// Whether this machine is its domain's controller, a member, or in a
// workgroup. 0; 19 when the directory cannot be asked.
int check_server_type(int* type) {
  LPBYTE wk = nullptr;
  if (NetWkstaGetInfo(nullptr, 101, &wk) != NERR_Success) return NS_S_SYSFAIL;
  const auto* info = reinterpret_cast<const WKSTA_INFO_101*>(wk);
  LPBYTE dc = nullptr;
  NET_API_STATUS rc = NetGetDCName(nullptr, info->wki101_langroup, &dc);
  int status = NS_S_OK;
  if (rc == NERR_Success) {
    const char* pdc = reinterpret_cast<const char*>(dc);
    if (std::strlen(pdc) >= 2) pdc += 2;  // the two leading backslashes
    *type = _mbsicmp(info->wki101_computername, pdc) == 0 ? QOR_SERVER_PDC : QOR_SERVER_MEMBER;
  } else if (rc == NERR_DCNotFound) {
    *type = QOR_SERVER_WORKGROUP;
  } else {
    status = NS_S_SYSFAIL;
  }
  NetApiBufferFree(dc);
  NetApiBufferFree(wk);
  return status;
}

// Asks the service behind `b` for its domain, retrying a busy one with pauses
// of 1, 4, 9 ... ms. True with *status (and *domain when 0) when it answered;
// false when it could not be asked.
bool ask_domain(RPC_BINDING_HANDLE b, char** domain, int* status) {
  for (int tries = 0;;) {
    try {
      *status = NS__cl_qor_getdomain(b, domain);
      return true;
    } catch (const rpc_exception& e) {
      if (e.status() == RPC_S_SERVER_TOO_BUSY || e.status() == RPC_S_CALL_FAILED_DNE) {
        ++tries;
        usleep(static_cast<useconds_t>(tries * tries) * 1000);
        if (tries < QOR_GETDOMAIN_TRIES) continue;
        return false;
      }
      if (e.status() == RPC_S_CALL_FAILED) {
        *status = NS_S_FORWARD;
        return true;
      }
      return false;
    }
  }
}

// True when the service behind `b` answers that it serves this machine's
// domain or workgroup. A service that answers no name is not counted.
bool serves_own_domain(RPC_BINDING_HANDLE b) {
  char* domain = nullptr;
  int status = NS_S_SYSFAIL;
  if (!ask_domain(b, &domain, &status) || status != NS_S_OK || domain == nullptr) {
    NS__MIDL_user_free(domain);
    return false;
  }
  bool same = _mbsicmp(NS__ms_domain, domain) == 0;
  NS__MIDL_user_free(domain);
  return same;
}

// The network address of `b` as a new string, or null.
char* binding_address(RPC_BINDING_HANDLE b) {
  char* text = nullptr;
  if (RpcBindingToStringBindingA(b, &text) != RPC_S_OK) return nullptr;
  char* addr = nullptr;
  RPC_STATUS st = RpcStringBindingParseA(text, nullptr, nullptr, &addr, nullptr, nullptr);
  RpcStringFreeA(&text);
  if (st != RPC_S_OK) return nullptr;
  char* copy = qor_strdup(addr);
  RpcStringFreeA(&addr);
  return copy;
}

// Whether another instance answers for this workgroup under the name-service
// entry; *cname its network address (new string, or null when it cannot be
// had). The binding of this machine's own earlier run stays in the entry
// after a stop; it does not answer and is skipped. 0; 19 when the name
// service cannot be searched.
int check_qor_running(int* isrunning, char** cname) {
  *isrunning = 0;
  *cname = nullptr;
  int attempts = 0;
  RPC_NS_HANDLE ctx = nullptr;
  for (;;) {
    if (ctx != nullptr) RpcNsBindingImportDone(&ctx);
    if (attempts > QOR_NS_IMPORT_ATTEMPTS) {
      report_win32_error(qor_get_last_error(), NS_LOCATION(NS_MODULE_QORMAIN));
      return NS_S_SYSFAIL;
    }
    ++attempts;
    RPC_STATUS st =
        RpcNsBindingImportBeginA(RPC_C_NS_SYNTAX_DCE, NS_QOR_ENTRY, qor_ifspec(), nullptr, &ctx);
    if (st == RPC_S_ENTRY_NOT_FOUND) {
      if (ctx != nullptr) RpcNsBindingImportDone(&ctx);
      return NS_S_OK;
    }
    if (st == RPC_S_NAME_SERVICE_UNAVAILABLE || st == RPC_S_INTERNAL_ERROR) {
      qor_set_last_error(static_cast<uint32_t>(st));
      continue;
    }
    if (st != RPC_S_OK) {
      qor_set_last_error(static_cast<uint32_t>(st));
      return NS_S_SYSFAIL;
    }
    for (;;) {
      RPC_BINDING_HANDLE b = nullptr;
      st = RpcNsBindingImportNext(ctx, &b);
      if (st == RPC_S_INTERNAL_ERROR) break;  // begin a new import
      if (st == RPC_S_NO_MORE_BINDINGS) {
        RpcNsBindingImportDone(&ctx);
        return NS_S_OK;
      }
      if (st != RPC_S_OK) {
        qor_set_last_error(static_cast<uint32_t>(st));
        RpcNsBindingImportDone(&ctx);
        return NS_S_SYSFAIL;
      }
      if (!serves_own_domain(b)) {
        RpcBindingFree(&b);
        continue;
      }
      RpcNsBindingImportDone(&ctx);
      *isrunning = 1;
      *cname = binding_address(b);
      RpcBindingFree(&b);
      return NS_S_OK;
    }
  }
}

// Whether this machine may run the service: the controller of its domain,
// or a machine of a workgroup in which no other instance answers. 0 with
// *irun set; 19 or a check's status when it cannot be decided.
int may_i_run(int* irun) {
  *irun = 0;
  int type = -1;
  int status = check_server_type(&type);
  if (status != NS_S_OK) return status;
  switch (type) {
    case QOR_SERVER_PDC:
      *irun = 1;
      return NS_S_OK;
    case QOR_SERVER_MEMBER:
      NS__LogWrite(NS_EVENT_ERROR, NS_EV_NOT_PDC, 0, nullptr);
      qor_set_last_error(ERROR_INVALID_DOMAIN_ROLE);
      return NS_S_OK;
    case QOR_SERVER_WORKGROUP: {
      int running = 0;
      char* cname = nullptr;
      status = check_qor_running(&running, &cname);
      if (status != NS_S_OK) return status;
      if (running) {
        NS__Log_S(NS_EVENT_ERROR, NS_EV_ALREADY_RUNNING, cname != nullptr ? cname : "unknown");
        qor_free(cname);
        qor_set_last_error(ERROR_SERVICE_ALREADY_RUNNING);
      } else {
        *irun = 1;
      }
      return NS_S_OK;
    }
    default:
      return NS_S_SYSFAIL;
  }
}

// The data directory as a new string: "QorDataDirectory", else the
// subdirectory "qor" of $SystemRoot, else where Linux keeps a service's state.
char* data_directory() {
  char* dir = NS__GetRegStr("QorDataDirectory", nullptr);
  if (dir != nullptr && dir[0] != '\0') return dir;
  qor_free(dir);  // empty, as unset
  const char* root = std::getenv("SystemRoot");
  if (root == nullptr) return qor_strdup("/var/lib/qor");
  size_t size = std::strlen(root) + std::strlen("/qor") + 1;
  dir = static_cast<char*>(qor_malloc(size));
  if (dir != nullptr) std::snprintf(dir, size, "%s/%s", root, "qor");
  return dir;
}

// ---- RPC server ----

void free_pseq(char** pseq) {
  if (pseq == nullptr || pseq == def_pseq) return;
  for (char** p = pseq; *p != nullptr; ++p) qor_free(*p);
  qor_free(pseq);
}

bool rpc_failed(RPC_STATUS st) {
  qor_set_last_error(static_cast<uint32_t>(st));
  return false;
}

// Opens the configured protocol sequences: all of them for a present but
// empty list. A sequence this machine does not offer (1703) or that is not
// one (1704) is reported as a warning and passed over; any other failure ends
// the opening. True when at least one is open.
bool use_protseqs(char** pseq, unsigned maxcall) {
  if (pseq == nullptr) {
    RPC_STATUS st = RpcServerUseAllProtseqs(maxcall, nullptr);
    return st == RPC_S_OK || rpc_failed(st);
  }
  bool pseqok = false;
  for (char** p = pseq; *p != nullptr; ++p) {
    RPC_STATUS st = RpcServerUseProtseqA(*p, maxcall, nullptr);
    if (st == RPC_S_OK)
      pseqok = true;
    else if (st == RPC_S_PROTSEQ_NOT_SUPPORTED)
      NS__Log_S(NS_EVENT_WARNING, NS_EV_NO_PROTSEQ, *p);
    else if (st == RPC_S_INVALID_RPC_PROTSEQ)
      NS__Log_S(NS_EVENT_WARNING, NS_EV_BAD_PROTSEQ, *p);
    else
      return rpc_failed(st);
  }
  return pseqok;
}

// The binding vector of the start, kept for the life of the process.
RPC_BINDING_VECTOR* started_bindings = nullptr;

// The steps of start_rpc; *step counts the stages reached for the unwinding.
bool open_server(char** pseq, unsigned maxcall, unsigned mincall, const char* langrp, int* step,
                 RPC_BINDING_VECTOR** bvec) {
  if (!use_protseqs(pseq, maxcall)) return false;
  RPC_STATUS st = RpcServerRegisterIf(qor_ifspec(), nullptr, nullptr);
  if (st != RPC_S_OK) return rpc_failed(st);
  st = RpcServerInqBindings(bvec);
  if (st != RPC_S_OK) return rpc_failed(st);
  *step = 1;
  st = RpcEpRegisterA(qor_ifspec(), *bvec, nullptr, nullptr);
  if (st != RPC_S_OK) return rpc_failed(st);
  *step = 2;
  // Exported bindings carry no endpoint: clients resolve it at this host's
  // endpoint mapper, so the entry stays right when the port changes.
  for (unsigned long i = 0; i < (*bvec)->Count; ++i) RpcBindingReset((*bvec)->BindingH[i]);
  st = RpcNsBindingExportA(RPC_C_NS_SYNTAX_DCE, NS_QOR_ENTRY, qor_ifspec(), *bvec, nullptr);
  if (st != RPC_S_OK) return rpc_failed(st);
  // The global name, under which other domains' services find this one; its
  // failure does not stop the start.
  char* global = nullptr;
  if (NS__MakeQorEntry(langrp, &global) == NS_S_OK) {
    RpcNsBindingExportA(RPC_C_NS_SYNTAX_DCE, global, qor_ifspec(), *bvec, nullptr);
    qor_free(global);
  }
  *step = 3;
  st = RpcServerListen(mincall, maxcall, 1);
  if (st != RPC_S_OK) return rpc_failed(st);
  return true;
}

// Opens the service to the network: protocol sequences, the interface, its
// endpoints in the endpoint map, the export under both entry names, and
// listening without blocking. 0; 19 with the last error set to the failing
// runtime status (left as it was when no protocol sequence could be opened),
// after undoing the stages reached. The binding vector of a successful start
// stays allocated for the life of the process.
int start_rpc(const char* langrp) {
  int step = 0;
  RPC_BINDING_VECTOR* bvec = nullptr;
  unsigned maxcall = NS__GetRegInt("RpcMaxCall", QOR_DEFAULT_MAX_CALL);
  unsigned mincall = NS__GetRegInt("RpcMinCall", QOR_DEFAULT_MIN_CALL);
  char** pseq = NS__GetRegStrArray("RpcProtocolSequence", def_pseq);
  bool ok = open_server(pseq, maxcall, mincall, langrp, &step, &bvec);
  free_pseq(pseq);
  if (ok) {
    started_bindings = bvec;
    return NS_S_OK;
  }
  uint32_t error = qor_get_last_error();
  if (step >= 1) RpcServerUnregisterIf(qor_ifspec(), nullptr, 1);
  if (step >= 2) RpcEpUnregister(qor_ifspec(), bvec, nullptr);
  // The global name's export is left: other domains meet a binding that does
  // not answer, as after any stop.
  if (step >= 3) RpcNsBindingUnexportA(RPC_C_NS_SYNTAX_DCE, NS_QOR_ENTRY, qor_ifspec(), nullptr);
  if (bvec != nullptr) RpcBindingVectorFree(&bvec);
  qor_set_last_error(error);
  return NS_S_SYSFAIL;
}

// Thread body of qor_term. Endpoints and name-service entries stay: a later
// import meets a binding that does not answer, which every importer skips.
void* stop_rpc(void*) {
  RpcServerUnregisterIf(qor_ifspec(), nullptr, 1);
  RpcMgmtStopServerListening(nullptr);
  RpcMgmtWaitServerListen();
  return nullptr;
}

// Takes down, in reverse order, the stages of qor_init reached, and the own
// domain's name.
int unwind_init(int stage, int result, char* datapath) {
  if (stage >= 1) NS__TermNameObj();
  if (stage >= 2) NS__PdcCacheTerm();
  if (stage >= 3) {
    delete NS__nslock;
    NS__nslock = nullptr;
  }
  qor_free(NS__ms_domain);
  NS__ms_domain = nullptr;
  qor_free(datapath);
  return result;
}

}  // namespace

// ---- End of run ----

int qor_create_endproc() {
  if (endproc.load(std::memory_order_acquire) != nullptr) return NS_S_OK;
  qor_event* ev = new (std::nothrow) qor_event();
  if (ev == nullptr) {
    qor_set_last_error(ERROR_NOT_ENOUGH_MEMORY);
    return NS_S_SYSFAIL;
  }
  endproc.store(ev, std::memory_order_release);
  return NS_S_OK;
}

qor_event* qor_endproc() { return endproc.load(std::memory_order_acquire); }

void NS__qor_stop() {
  qor_event* ev = endproc.load(std::memory_order_acquire);
  bool signalled = false;
  if (ev == nullptr)
    qor_set_last_error(ERROR_INVALID_HANDLE);
  else
    signalled = ev->signal();
  if (signalled) return;
  report_win32_error(qor_get_last_error(), NS_LOCATION(NS_MODULE_QORMAIN));
  NS__LogWrite(NS_EVENT_INFORMATION, NS_EV_COMPLETED, 0, nullptr);
  // At once and without clean-up: the recovery files are current after every
  // change, and nothing else can be trusted after the stop itself failed.
  _exit(0);
}

void qor_exit() {
  std::fflush(nullptr);
#if QOR_LEAK_CHECK
  // _exit skips the sanitizer's own check at exit; what a run lost shows here.
  __lsan_do_leak_check();
#endif
  _exit(0);
}

void qor_term() {
  pthread_t th;
  if (!qor_thread_start(stop_rpc, nullptr, &th)) return;
  if (qor_thread_wait(th, QOR_RPC_STOP_WAIT_MS) != QOR_WAIT_SIGNALLED) qor_thread_close(th);
}

// ---- Start-up sequence ----

int qor_init() {
  int status = NS__InitQorop();
  if (status != NS_S_OK) return status;
  status = get_langroup(&NS__ms_domain);
  if (status != NS_S_OK) return status;
  if (!forcerun) {
    int irun = 0;
    status = may_i_run(&irun);
    if (status != NS_S_OK) return status;
    if (!irun) return unwind_init(0, NS_S_SYSFAIL, nullptr);
  }
  char* datapath = data_directory();
  if (datapath == nullptr) return unwind_init(0, NS_S_NOMEM, nullptr);
  status = NS__InitNameObj(datapath);
  if (status != NS_S_OK) {
    qor_set_last_error(ERROR_SERVICE_SPECIFIC_ERROR);
    return unwind_init(0, status, datapath);
  }
  status = NS__PdcCacheInit(datapath);
  if (status != NS_S_OK) return unwind_init(1, status, datapath);
  NS__nslock = new (std::nothrow) std::mutex();
  if (NS__nslock == nullptr) {
    report_win32_error(ERROR_NOT_ENOUGH_MEMORY, NS_LOCATION(NS_MODULE_QORMAIN));
    qor_set_last_error(ERROR_NOT_ENOUGH_MEMORY);
    return unwind_init(2, NS_S_SYSFAIL, datapath);
  }
  status = start_rpc(NS__ms_domain);
  if (status != NS_S_OK) return unwind_init(3, status, datapath);
  qor_free(datapath);
  return NS_S_OK;
}

void qor_console_start_failed(int status) {
  std::fprintf(stderr, "qor: the service did not start: status %d, error %u\n", status,
               qor_get_last_error());
}

// ---- Service control ----

void svcmain(int, char**) {
  ssh.store(qor_svc_register("qor", svcctrl));
  if (ssh.load() == 0) {
    report_win32_error(qor_get_last_error(), NS_LOCATION(NS_MODULE_QORMAIN));
    qor_exit();
  }
  SERVICE_STATUS ss{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 1, QOR_WAIT_HINT_MS};
  svcstatus = SERVICE_START_PENDING;
  qor_event* pdend = nullptr;
  pdrep_arg* arg = nullptr;
  pthread_t reporter;
  bool reporter_open = false;
  int status;
  if (!qor_svc_report(ssh.load(), &ss)) {
    ss.dwWin32ExitCode = qor_get_last_error();
    report_win32_error(ss.dwWin32ExitCode, NS_LOCATION(NS_MODULE_QORMAIN));
    goto failed;
  }
  pdend = new (std::nothrow) qor_event();
  if (pdend != nullptr) arg = new (std::nothrow) pdrep_arg{ss, pdend};
  if (arg == nullptr) {
    ss.dwWin32ExitCode = ERROR_NOT_ENOUGH_MEMORY;
    report_win32_error(ss.dwWin32ExitCode, NS_LOCATION(NS_MODULE_QORMAIN));
    goto failed;
  }
  if (!qor_thread_start(pdreport, arg, &reporter)) {
    ss.dwWin32ExitCode = qor_get_last_error();
    report_win32_error(ss.dwWin32ExitCode, NS_LOCATION(NS_MODULE_QORMAIN));
    goto failed;
  }
  reporter_open = true;
  status = qor_init();
  if (status != NS_S_OK) {
    ss.dwWin32ExitCode = qor_get_last_error();
    if (ss.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR)
      ss.dwServiceSpecificExitCode = static_cast<uint32_t>(status);
    pdend->signal();
    if (qor_thread_wait(reporter, QOR_REPORTER_WAIT_FAILED_MS) == QOR_WAIT_SIGNALLED)
      reporter_open = false;
    goto failed;
  }
  pdend->signal();
  if (qor_thread_wait(reporter, QOR_REPORTER_WAIT_MS) == QOR_WAIT_SIGNALLED) {
    delete arg;
    delete pdend;
  } else {
    qor_thread_close(reporter);  // it may still use its argument: left to it
  }
  // Released or left to the reporter: the failure path below must not free them.
  arg = nullptr;
  pdend = nullptr;
  reporter_open = false;
  ss.dwCurrentState = SERVICE_RUNNING;
  ss.dwControlsAccepted = QOR_CONTROLS;
  ss.dwCheckPoint = 0;
  ss.dwWaitHint = 0;
  svcstatus = SERVICE_RUNNING;
  if (!qor_svc_report(ssh.load(), &ss)) {
    ss.dwWin32ExitCode = qor_get_last_error();
    report_win32_error(ss.dwWin32ExitCode, NS_LOCATION(NS_MODULE_QORMAIN));
    goto failed;
  }
  NS__LogWrite(NS_EVENT_INFORMATION, NS_EV_STARTED, 0, nullptr);
  endproc.load()->wait();
  qor_term();
  NS__LogWrite(NS_EVENT_INFORMATION, NS_EV_COMPLETED, 0, nullptr);
  ss.dwCurrentState = SERVICE_STOPPED;
  svcstatus = SERVICE_STOPPED;
  qor_svc_report(ssh.load(), &ss);
  return;

failed:
  ss.dwCurrentState = SERVICE_STOPPED;
  qor_svc_report(ssh.load(), &ss);
  if (reporter_open) {
    qor_thread_close(reporter);  // it may still use its argument: left to it
  } else {
    delete arg;
    delete pdend;
  }
}

void svcctrl(uint32_t control) {
  SERVICE_STATUS ss{SERVICE_WIN32_OWN_PROCESS, 0, QOR_CONTROLS, 0, 0, 0, 0};
  qor_event* ev = endproc.load(std::memory_order_acquire);
  switch (control) {
    case SERVICE_CONTROL_STOP:
      ss.dwCurrentState = SERVICE_STOP_PENDING;
      svcstatus = SERVICE_STOP_PENDING;
      ss.dwCheckPoint = 1;
      ss.dwWaitHint = QOR_WAIT_HINT_MS;
      qor_svc_report(ssh.load(), &ss);
      // The rest of the stop happens on the svcmain thread.
      if (ev == nullptr || !ev->signal()) {
        ss.dwCurrentState = SERVICE_STOPPED;
        svcstatus = SERVICE_STOPPED;
        if (!qor_svc_report(ssh.load(), &ss)) qor_exit();
      }
      return;
    case SERVICE_CONTROL_SHUTDOWN: {
      ss.dwCurrentState = SERVICE_STOP_PENDING;
      svcstatus = SERVICE_STOP_PENDING;
      ss.dwCheckPoint = 1;
      ss.dwWaitHint = QOR_WAIT_HINT_MS;
      qor_svc_report(ssh.load(), &ss);
      pthread_t th;
      if (!qor_thread_start(shutdown_svc, nullptr, &th)) {
        shutdown_svc(nullptr);
        return;
      }
      qor_thread_close(th);
      // Keeps the service manager waiting while the stop runs elsewhere.
      for (uint32_t checkpoint = 2; ev != nullptr && ev->wait(0) != QOR_WAIT_SIGNALLED;
           ++checkpoint) {
        ss.dwCheckPoint = checkpoint;
        qor_svc_report(ssh.load(), &ss);
        ev->wait(QOR_SHUTDOWN_REPORT_MS);
      }
      return;
    }
    default:
      ss.dwCurrentState = svcstatus.load();
      if (ss.dwCurrentState == SERVICE_START_PENDING) ss.dwControlsAccepted = 0;
      qor_svc_report(ssh.load(), &ss);
      return;
  }
}
