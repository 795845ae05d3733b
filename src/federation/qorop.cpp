#include "federation/qorop.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <thread>

#include "federation/pdccache.h"
#include "federation/qor_c.h"
#include "platform/clock.h"
#include "platform/hostlookup.h"
#include "platform/lasterror.h"
#include "platform/mbstring.h"
#include "platform/memory.h"
#include "platform/netapi.h"
#include "platform/rpc/rpc.h"
#include "platform/sync.h"
#include "registry/status.h"
#include "registry/table.h"
#include "service/elog.h"
#include "service/qormain.h"
#include "service/qorutil.h"

namespace {

constexpr uint32_t kDefaultMaxRetry = 10;
constexpr uint32_t kDefaultDomListExpire = 300;
// Each collected list is kept this many seconds longer than the one before.
constexpr long kDomListStep = 60;
constexpr size_t kEnumBufferSize = 8192;

// Retries of a busy binding by the forwarding of a request to another domain.
int maxretry = static_cast<int>(kDefaultMaxRetry);

std::mutex domlistlock;
// The last list collected and its timing, guarded by domlistlock.
domainlist cache{0, nullptr};
long expire = 0;     // the cached list is served while qor_time() is before this
long interv = 0;     // the period given to the latest collection
long maxinterv = 0;  // "DomListExpireTime"; 0 until the first request reads it

#define HERE NS_LOCATION(NS_MODULE_QOROP)

// The registry front takes its records without const but only reads them.
template <typename T>
T* in(const T* p) {
  return const_cast<T*>(p);
}

enum domain_kind { OWN_DOMAIN, OTHER_DOMAIN, NOT_COMPARABLE };

// Whether a request naming `domain` is this service's to serve.
domain_kind classify(const char* domain) {
  if (domain == nullptr) return OWN_DOMAIN;
  int r = _mbsicmp(domain, NS__ms_domain);
  if (r == _NLSCMPERROR) return NOT_COMPARABLE;
  return r == 0 ? OWN_DOMAIN : OTHER_DOMAIN;
}

// ---- Binding import ----
//
// The bindings to another domain's service, one at a time, from three
// sources in turn: the handle that worked last time (kept by the PDC cache),
// the controller's addresses resolved at its endpoint mapper, and the
// name-service entry the other service exports.

constexpr const char* kQorGlobalEntry = "/.../%s/Varnelith/qor";
// Import begins tried while the name service answers that it cannot help.
constexpr int kNsImportAttempts = 5;

struct import_context {
  pdcadrs adrs;             // the import's own copy of the controller's addresses
  int adrscnt;              // next address to try
  const char* const* pseq;  // protocol sequences to combine with each address (not owned)
  int pseqlen;
  int pseqcnt;         // protocol sequence in use
  const char* domain;  // not owned
  int nsha_opened;     // a name-service import is open in nsha
  int importok;        // the name service delivered at least one binding
  unsigned long type;  // the cache's entry type for the domain
  RPC_NS_HANDLE nsha;
  RPC_BINDING_HANDLE ha;  // the import's copy of the cache's handle, or null
  int ncall;              // calls of import_next so far
};

RPC_IF_HANDLE qor_ifspec() { return &NS__sv_ns_qor_if_v1_1_s_ifspec; }

// Name-service calls are serialised process-wide. NS__nslock is made by the
// start-up sequence; without it the name service cannot be asked.
bool take_nslock() {
  if (NS__nslock == nullptr) {
    qor_set_last_error(ERROR_INVALID_HANDLE);
    return false;
  }
  NS__nslock->lock();
  return true;
}

// A lock of the module that cannot be had (NS__nslock, domlistlock) leaves
// forwarding or the domain list unusable: the service ends.
int lock_failed(uint32_t location) {
  NS__Log_UU(NS_EVENT_ERROR, NS_EV_WIN32, qor_get_last_error(), location);
  NS__qor_stop();
  return NS_S_SYSFAIL;
}

// 0, or 7 when the cache knows that the name service has nothing for the
// domain; import_done is then not to be called.
int import_begin(const char* domain, const char* const* pseq, int len, import_context* cntxt) {
  cntxt->adrscnt = 0;
  if (NS__PdcGet(domain, &cntxt->adrs, &cntxt->type, &cntxt->ha) != NS_S_OK) {
    cntxt->adrs = pdcadrs{0, nullptr, 0};  // type 16, no handle: the name service alone
  } else if (cntxt->type == NS_PDC_NSNONE) {
    NS__PdcFreeAdrs(&cntxt->adrs);
    if (cntxt->ha != nullptr) RpcBindingFree(&cntxt->ha);
    return NS_S_NODOMAIN;
  }
  cntxt->pseq = pseq;
  cntxt->pseqlen = len;
  cntxt->pseqcnt = 0;
  cntxt->domain = domain;
  cntxt->nsha_opened = cntxt->importok = cntxt->ncall = 0;
  cntxt->nsha = nullptr;
  return NS_S_OK;
}

// Address phase: a binding to the next controller address whose endpoint
// mapper knows the interface. Addresses that cannot be composed, reached or
// resolved are passed over without a word. False when none is left.
bool next_address(import_context* cntxt, RPC_BINDING_HANDLE* ha) {
  for (; cntxt->pseqcnt < cntxt->pseqlen; ++cntxt->pseqcnt, cntxt->adrscnt = 0) {
    for (int i = cntxt->adrscnt; i < cntxt->adrs.nadrs; ++i) {
      char* text = nullptr;
      if (RpcStringBindingComposeA(nullptr, cntxt->pseq[cntxt->pseqcnt], cntxt->adrs.adrs[i],
                                   nullptr, nullptr, &text) != RPC_S_OK) {
        continue;
      }
      RPC_STATUS st = RpcBindingFromStringBindingA(text, ha);
      if (st == RPC_S_OK) st = RpcEpResolveBinding(*ha, qor_ifspec());
      RpcStringFreeA(&text);
      if (st == RPC_S_OK) {
        cntxt->adrscnt = i + 1;
        return true;
      }
      if (*ha != nullptr) RpcBindingFree(ha);
    }
  }
  return false;
}

// The next binding of the open name-service import: 0; 12 none left; 7 the
// entry is not there (`first`: right after the import began); 19 otherwise.
// REQUIRES: NS__nslock held.
int ns_next(import_context* cntxt, RPC_BINDING_HANDLE* ha, bool first) {
  RPC_STATUS st = RpcNsBindingImportNext(cntxt->nsha, ha);
  if (st == RPC_S_OK) {
    cntxt->importok = 1;
    return NS_S_OK;
  }
  if (st == RPC_S_NO_MORE_BINDINGS) return NS_S_EOF;
  return first && st == RPC_S_ENTRY_NOT_FOUND ? NS_S_NODOMAIN : NS_S_SYSFAIL;
}

// Name-service phase, first binding: opens the import of the domain's entry.
// The lock is held from the first import begin to the first binding.
int ns_first(import_context* cntxt, RPC_BINDING_HANDLE* ha) {
  char* entry = nullptr;
  int st = NS__MakeQorEntry(cntxt->domain, &entry);
  if (st != NS_S_OK) return st;
  if (!take_nslock()) {
    qor_free(entry);
    return lock_failed(HERE);
  }
  RPC_STATUS rst = RPC_S_NAME_SERVICE_UNAVAILABLE;
  for (int attempt = 0; attempt < kNsImportAttempts; ++attempt) {
    rst = RpcNsBindingImportBeginA(RPC_C_NS_SYNTAX_DCE, entry, qor_ifspec(), nullptr, &cntxt->nsha);
    if (rst != RPC_S_ENTRY_NOT_FOUND && rst != RPC_S_NAME_SERVICE_UNAVAILABLE &&
        rst != RPC_S_INTERNAL_ERROR) {
      break;
    }
  }
  qor_free(entry);
  if (rst == RPC_S_OK) {
    cntxt->nsha_opened = 1;
    st = ns_next(cntxt, ha, true);
  } else {
    // Still unavailable after every attempt: as unreachable as a dead controller.
    bool gave_up = rst == RPC_S_ENTRY_NOT_FOUND || rst == RPC_S_NAME_SERVICE_UNAVAILABLE ||
                   rst == RPC_S_INTERNAL_ERROR;
    st = gave_up ? NS_S_FORWARD : NS_S_SYSFAIL;
  }
  NS__nslock->unlock();
  return st;
}

// The next binding to try, a new handle the caller frees: the cache's handle
// (first call only), then each controller address, then, for a domain without
// a known controller, each binding of the name-service entry. 0; 18 the
// controller's addresses are used up, or the name service stayed unavailable;
// 7 the entry is not there; 12 no binding left in it; 14; 19 the name service
// failed otherwise or NS__nslock could not be had.
int import_next(import_context* cntxt, RPC_BINDING_HANDLE* ha) {
  *ha = nullptr;
  if (cntxt->ncall++ == 0 && cntxt->ha != nullptr && RpcBindingCopy(cntxt->ha, ha) == RPC_S_OK) {
    return NS_S_OK;
  }
  if (cntxt->nsha_opened) {
    if (!take_nslock()) return lock_failed(HERE);
    int st = ns_next(cntxt, ha, false);
    NS__nslock->unlock();
    return st;
  }
  if (next_address(cntxt, ha)) return NS_S_OK;
  // The address phase is over for good.
  cntxt->pseqcnt = cntxt->pseqlen + 1;
  cntxt->adrscnt = cntxt->adrs.nadrs + 1;
  // A domain with a known controller is served there or nowhere.
  if (cntxt->type == NS_PDC_PRELOAD || cntxt->type == NS_PDC_DCNAME) return NS_S_FORWARD;
  return ns_first(cntxt, ha);
}

// The call on `ha` completed: the next import for the domain starts with it.
void import_set_handle(import_context* cntxt, RPC_BINDING_HANDLE ha) {
  if (cntxt->ncall != 0) NS__PdcSetHandle(cntxt->domain, ha);
}

// Ends the import; a domain without a controller is classified by whether
// the name service knew it.
void import_done(import_context* cntxt) {
  if (cntxt->ha != nullptr) RpcBindingFree(&cntxt->ha);
  NS__PdcFreeAdrs(&cntxt->adrs);
  if (cntxt->type == NS_PDC_NODC) {
    NS__PdcSetType(cntxt->domain, cntxt->importok ? NS_PDC_NSFOUND : NS_PDC_NSNONE);
  }
  if (!cntxt->nsha_opened) return;
  if (!take_nslock()) {
    lock_failed(HERE);  // the name-service import is left open
    return;
  }
  RpcNsBindingImportDone(&cntxt->nsha);
  NS__nslock->unlock();
}

// ---- Forwarding to another domain ----
//
// A request for another domain goes, unchanged, to that domain's service on
// each binding the import offers until one call completes; that call's
// status and outputs are the answer. A busy binding is retried after pauses
// of 1, 4, 9 ... ms, up to "MaxRetry" times; a call that failed after it was
// sent ends the forwarding, so that it never runs twice; any other failure
// moves on to the next binding. No lock is held during a remote call.

const char* const pseq[] = {"ncacn_ip_tcp"};

// The seven forwardings differ only in the call they make and in the
// outputs they preset; `preset` runs again when no call completed (also
// after 1726), since a failed call leaves the stub's outputs empty.
template <typename Preset, typename Call>
int forward(const char* domain, Preset preset, Call call) {
  preset();
  import_context cntxt;
  int res = import_begin(domain, pseq, static_cast<int>(std::size(pseq)), &cntxt);
  if (res != NS_S_OK) return res;
  int ires = NS_S_OK;
  bool callok = false, completed = false;
  while (!callok) {
    RPC_BINDING_HANDLE ha = nullptr;
    ires = import_next(&cntxt, &ha);
    if (ires != NS_S_OK) break;
    for (int retrycnt = 0;; ++retrycnt) {
      bool tryagain = false;
      try {
        res = call(ha);
        callok = completed = true;
        import_set_handle(&cntxt, ha);
      } catch (const rpc_exception& e) {
        RPC_STATUS st = e.status();
        tryagain = st == RPC_S_SERVER_TOO_BUSY || st == RPC_S_CALL_FAILED_DNE;
        if (st == RPC_S_CALL_FAILED) {
          // The request may have run there: sending it again could run it twice.
          res = NS_S_FORWARD;
          callok = true;
        }
      } catch (...) {
        // Not the runtime's: this binding is given up.
      }
      if (!tryagain || retrycnt >= maxretry) break;
      const long long n = retrycnt + 1LL;  // "MaxRetry" has no upper bound
      std::this_thread::sleep_for(std::chrono::milliseconds(n * n));
    }
    RpcBindingFree(&ha);
  }
  import_done(&cntxt);
  if (!completed) preset();
  if (callok) return res;
  return ires == NS_S_EOF ? NS_S_NODOMAIN : ires;
}

void no_preset() {}

int createobj_domain(const qorobjid* obj, const qorobjid* assoc, int32_t force,
                     const qor_serverinfo* svinfo, const qorobjects* mbr, int32_t* created) {
  auto preset = [&] { *created = 0; };  // the server stub leaves it unset
  return forward(obj->domain, preset, [&](RPC_BINDING_HANDLE ha) {
    return NS__cl_qor_createobj(ha, obj, assoc, force, svinfo, mbr, created);
  });
}

int deleteobj_domain(const qorobjid* obj) {
  return forward(obj->domain, no_preset,
                 [&](RPC_BINDING_HANDLE ha) { return NS__cl_qor_deleteobj(ha, obj); });
}

int getobj_domain(const qorobjid* obj, qorobjid* server, rpcbinding* binding, int32_t* supportauth,
                  int* nsclass) {
  auto preset = [&] {
    *server = qorobjid{NS_CLASS_NONE, nullptr, nullptr};
    *binding = rpcbinding{0, nullptr};
    *nsclass = NS_CLASS_NONE;
    *supportauth = 0;
  };
  return forward(obj->domain, preset, [&](RPC_BINDING_HANDLE ha) {
    return NS__cl_qor_getobj(ha, obj, server, binding, supportauth, nsclass);
  });
}

int listobj_domain(const qorobjid* obj, qorobjects* objs) {
  auto preset = [&] { *objs = qorobjects{0, nullptr}; };
  return forward(obj->domain, preset,
                 [&](RPC_BINDING_HANDLE ha) { return NS__cl_qor_listobj(ha, obj, objs); });
}

int gethost_domain(const qorobjid* obj, char** host) {
  auto preset = [&] { *host = nullptr; };
  return forward(obj->domain, preset,
                 [&](RPC_BINDING_HANDLE ha) { return NS__cl_qor_gethost(ha, obj, host); });
}

// The manager has emptied `list` already.
int listdomain_domain(const char* domain, domainlist* list) {
  return forward(domain, no_preset,
                 [&](RPC_BINDING_HANDLE ha) { return NS__cl_qor_listdomain(ha, domain, list); });
}

int hello_domain(const char* domain, char** host) {
  auto preset = [&] { *host = nullptr; };
  return forward(domain, preset,
                 [&](RPC_BINDING_HANDLE ha) { return NS__cl_qor_hello(ha, domain, host); });
}

// ---- Domain list ----

// A domain list has the string-list shape of rpcbinding, whose release and
// copy it uses.
void free_domainlist(domainlist* list) {
  rpcbinding strings{list->len, list->val};
  NS__free_rpcbinding(&strings);
  *list = domainlist{0, nullptr};
}

// A deep copy into `dst`: 0, or 14 with `dst` empty.
int copy_domainlist(domainlist* dst, const domainlist* src) {
  const rpcbinding from{src->len, src->val};
  rpcbinding to;
  int st = NS__copy_rpcbinding(&to, &from);
  *dst = domainlist{to.len, to.val};
  return st;
}

// Adds a name to the collection; a name already there keeps its first spelling.
int add_domain(tabhandle_t* names, const char* domain) {
  int st = NS__TabAdd(names, domain, nullptr, nullptr);
  return st == NS_S_EXISTS ? NS_S_OK : st;
}

int listdomenum(const char* domain, pdcadrs*, unsigned long, void* priv) {
  return add_domain(static_cast<tabhandle_t*>(priv), domain);
}

// Adds every domain and workgroup the network enumeration shows.
int enumwindomain(tabhandle_t* names) {
  NETRESOURCEA container{RESOURCE_GLOBALNET,
                         RESOURCETYPE_ANY,
                         RESOURCEDISPLAYTYPE_DOMAIN,
                         RESOURCEUSAGE_CONTAINER,
                         nullptr,
                         nullptr,
                         nullptr,
                         const_cast<char*>(QOR_NETWORK_PROVIDER)};
  HANDLE henum = nullptr;
  DWORD rc = WNetOpenEnumA(RESOURCE_GLOBALNET, RESOURCETYPE_ANY, 0, &container, &henum);
  if (rc == ERROR_NOT_ENOUGH_MEMORY) return NS_S_NOMEM;
  if (rc != NO_ERROR) return NS_S_SYSFAIL;
  alignas(NETRESOURCEA) unsigned char buf[kEnumBufferSize];
  int st = NS_S_OK;
  while (st == NS_S_OK) {
    DWORD count = 1;
    DWORD size = sizeof buf;
    rc = WNetEnumResourceA(henum, &count, buf, &size);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != NO_ERROR) {
      st = NS_S_SYSFAIL;
      break;
    }
    const auto* res = reinterpret_cast<const NETRESOURCEA*>(buf);
    for (DWORD i = 0; st == NS_S_OK && i < count; ++i) {
      if (res[i].lpRemoteName != nullptr) st = add_domain(names, res[i].lpRemoteName);
    }
  }
  WNetCloseEnum(henum);
  return st;
}

// A fresh list: the own domain, the preloaded domains, the network's domains.
int collect_domain(domainlist* list) {
  *list = domainlist{0, nullptr};
  if (NS__ms_domain == nullptr) return NS_S_SYSFAIL;
  tabhandle_t* names = nullptr;
  int st = NS__TabInit(&names, _mbsicmp);
  if (st != NS_S_OK) return st;
  st = add_domain(names, NS__ms_domain);
  if (st == NS_S_OK) st = NS__PdcEnumEntry(NS_PDC_PRELOAD, listdomenum, names);
  if (st == NS_S_OK) st = enumwindomain(names);
  tabkeylist_t keys{0, nullptr};
  if (st == NS_S_OK) st = NS__TabConvKeyList(names, &keys, nullptr);
  if (st != NS_S_OK) {
    NS__TabTerm(names, nullptr);
    return st;
  }
  *list = domainlist{static_cast<int32_t>(keys.len), keys.val};
  return NS_S_OK;
}

// The known domains, from the cached list while it is current.
int get_domain_list(domainlist* list) {
  *list = domainlist{0, nullptr};
  std::unique_lock<std::mutex> hold(domlistlock, std::defer_lock);
  if (!qor_mutex_take(hold)) return lock_failed(HERE);
  if (maxinterv == 0) {
    auto stored = static_cast<int32_t>(NS__GetRegInt("DomListExpireTime", kDefaultDomListExpire));
    maxinterv = stored < 1 ? 1 : stored;
  }
  if (qor_time() < expire && cache.len > 0) return copy_domainlist(list, &cache);

  free_domainlist(&cache);  // expired, or empty after a failed collection
  int st = collect_domain(&cache);
  if (st != NS_S_OK) return st;  // nothing kept: the next request collects again
  // Lists last longer as the service runs: 60 s, 120 s, ... up to maxinterv.
  if (interv != maxinterv) {
    interv = interv == 0 ? kDomListStep : interv + kDomListStep;
    if (interv > maxinterv) interv = maxinterv;
  }
  expire = qor_time() + interv;  // counted from the end of a collection that may be slow
  return copy_domainlist(list, &cache);
}

}  // namespace

int NS__MakeQorEntry(const char* domain, char** entry) {
  if (domain == nullptr) {
    *entry = qor_strdup(NS_QOR_ENTRY);
    return *entry != nullptr ? NS_S_OK : NS_S_NOMEM;
  }
  // The format's "%s" makes room for the terminating zero byte.
  size_t size = std::strlen(kQorGlobalEntry) + std::strlen(domain);
  *entry = static_cast<char*>(qor_malloc(size));
  if (*entry == nullptr) return NS_S_NOMEM;
  std::snprintf(*entry, size, kQorGlobalEntry, domain);
  return NS_S_OK;
}

int NS__InitQorop() {
  maxretry = static_cast<int>(NS__GetRegInt("MaxRetry", kDefaultMaxRetry));
  // domlistlock is an ordinary mutex and exists already; the domain list
  // starts as a newly created lock would find it, empty.
  std::unique_lock<std::mutex> hold(domlistlock, std::defer_lock);
  if (!qor_mutex_take(hold)) return NS_S_SYSFAIL;
  free_domainlist(&cache);
  expire = interv = maxinterv = 0;
  return NS_S_OK;
}

int NS__sv_qor_getdomain(void*, char** domain) {
  if (NS__ms_domain == nullptr) return NS_S_SYSFAIL;  // start-up has not set it
  *domain = qor_strdup(NS__ms_domain);
  return *domain != nullptr ? NS_S_OK : NS_S_NOMEM;
}

int NS__sv_qor_deleteobj(void*, const qorobjid* obj) {
  if (obj == nullptr || obj->name == nullptr) return NS_S_NODATA;
  switch (classify(obj->domain)) {
    case OWN_DOMAIN:
      return NS__DeleteObj(in(obj));
    case OTHER_DOMAIN:
      return deleteobj_domain(obj);
    default:
      return NS_S_SYSFAIL;
  }
}

int NS__sv_qor_createobj(void*, const qorobjid* obj, const qorobjid* assoc, int32_t force,
                         const qor_serverinfo* svinfo, const qorobjects* members,
                         int32_t* created) {
  if (obj == nullptr || obj->name == nullptr) return NS_S_NOID;
  switch (classify(obj->domain)) {
    case OWN_DOMAIN:
      return NS__CreateObj(in(obj), in(assoc), force, in(svinfo), in(members), created);
    case OTHER_DOMAIN:
      return createobj_domain(obj, assoc, force, svinfo, members, created);
    default:
      return NS_S_SYSFAIL;
  }
}

int NS__sv_qor_getobj(void*, const qorobjid* obj, qorobjid* server, rpcbinding* binding,
                      int32_t* supportauth, int* nsclass) {
  if (obj == nullptr || obj->name == nullptr) return NS_S_NOID;
  switch (classify(obj->domain)) {
    case OWN_DOMAIN:
      return NS__GetObj(in(obj), server, binding, supportauth, nsclass);
    case OTHER_DOMAIN:
      return getobj_domain(obj, server, binding, supportauth, nsclass);
    default:
      return NS_S_SYSFAIL;
  }
}

int NS__sv_qor_listobj(void*, const qorobjid* obj, qorobjects* objects) {
  if (obj == nullptr) return NS_S_NOID;  // a listing needs no name
  switch (classify(obj->domain)) {
    case OWN_DOMAIN:
      return NS__ListObj(in(obj), objects);
    case OTHER_DOMAIN:
      return listobj_domain(obj, objects);
    default:
      return NS_S_SYSFAIL;
  }
}

int NS__sv_qor_gethost(void*, const qorobjid* obj, char** host) {
  if (obj == nullptr || obj->name == nullptr) return NS_S_NOID;
  switch (classify(obj->domain)) {
    case OWN_DOMAIN:
      return NS__GetHost(in(obj), host);
    case OTHER_DOMAIN:
      return gethost_domain(obj, host);
    default:
      return NS_S_SYSFAIL;
  }
}

int NS__sv_qor_listdomain(void*, const char* domain, domainlist* list) {
  *list = domainlist{0, nullptr};
  switch (classify(domain)) {
    case OWN_DOMAIN:
      return get_domain_list(list);
    case OTHER_DOMAIN:
      return listdomain_domain(domain, list);
    default:
      return NS_S_SYSFAIL;
  }
}

int NS__sv_qor_hello(void*, const char* domain, char** host) {
  *host = nullptr;
  switch (classify(domain)) {
    case OWN_DOMAIN:
      break;
    case OTHER_DOMAIN:
      return hello_domain(domain, host);
    default:
      return NS_S_SYSFAIL;
  }
  // The machine's name as the domain directory knows it ("ComputerName"),
  // which a service with an address of its own resolves to that address;
  // else the host name.
  qor_hostent* he = nullptr;
  int rc = WSAHOST_NOT_FOUND;
  LPBYTE info = nullptr;
  if (NetWkstaGetInfo(nullptr, 101, &info) == NERR_Success) {
    rc = qor_host_by_name(reinterpret_cast<WKSTA_INFO_101*>(info)->wki101_computername, &he);
    NetApiBufferFree(info);
  }
  if (rc != QOR_HOST_OK && rc != WSA_NOT_ENOUGH_MEMORY) rc = qor_host_by_name("", &he);
  if (rc == WSA_NOT_ENOUGH_MEMORY) return NS_S_NOMEM;
  if (rc != QOR_HOST_OK) return NS_S_SYSFAIL;
  char text[16];
  *host = qor_strdup(qor_inet_ntoa(he->addrs[0], text));
  qor_host_free(he);
  return *host != nullptr ? NS_S_OK : NS_S_NOMEM;
}

const NS__sv_ns_qor_if_v1_1_epv_t NS__qor_manager_epv = {
    NS__sv_qor_getdomain, NS__sv_qor_deleteobj, NS__sv_qor_createobj,  NS__sv_qor_getobj,
    NS__sv_qor_listobj,   NS__sv_qor_gethost,   NS__sv_qor_listdomain, NS__sv_qor_hello,
};
