#include "federation/qorop.h"

#include <unistd.h>

#include <cstring>
#include <mutex>

#include "federation/pdccache.h"
#include "platform/clock.h"
#include "platform/hostlookup.h"
#include "platform/lasterror.h"
#include "platform/mbstring.h"
#include "platform/memory.h"
#include "platform/netapi.h"
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
constexpr size_t kHostNameSize = 1024;
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

// A std::mutex cannot fail to be taken; the failure row stays at the call
// site so that it keeps the service's answer to a failed wait.
bool take(std::unique_lock<std::mutex>& hold) {
  hold.lock();
  return true;
}

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

// ---- Forwarding to another domain ----
//
// Not built yet: no binding to another domain's service is tried, and every
// request for another domain ends as a forwarding that reached no binding
// (18), with the out parameters as such a forwarding leaves them.

int createobj_domain(const qorobjid*, const qorobjid*, int32_t, const qor_serverinfo*,
                     const qorobjects*, int32_t*) {
  return NS_S_FORWARD;
}

int deleteobj_domain(const qorobjid*) { return NS_S_FORWARD; }

int getobj_domain(const qorobjid*, qorobjid* server, rpcbinding* binding, int32_t* supportauth,
                  int* nsclass) {
  *server = qorobjid{NS_CLASS_NONE, nullptr, nullptr};
  *binding = rpcbinding{0, nullptr};
  *nsclass = NS_CLASS_NONE;
  *supportauth = 0;
  return NS_S_FORWARD;
}

int listobj_domain(const qorobjid*, qorobjects* objs) {
  *objs = qorobjects{0, nullptr};
  return NS_S_FORWARD;
}

int gethost_domain(const qorobjid*, char** host) {
  *host = nullptr;
  return NS_S_FORWARD;
}

int listdomain_domain(const char*, domainlist*) { return NS_S_FORWARD; }

int hello_domain(const char*, char** host) {
  *host = nullptr;
  return NS_S_FORWARD;
}

// ---- Domain list ----

void free_domainlist(domainlist* list) {
  for (int32_t i = 0; i < list->len; ++i) qor_free(list->val[i]);
  qor_free(list->val);
  *list = domainlist{0, nullptr};
}

// A deep copy into `dst`: 0, or 14 with `dst` empty.
int copy_domainlist(domainlist* dst, const domainlist* src) {
  *dst = domainlist{0, nullptr};
  if (src->len <= 0) return NS_S_OK;
  auto* val = static_cast<char**>(qor_calloc(static_cast<size_t>(src->len), sizeof(char*)));
  if (val == nullptr) return NS_S_NOMEM;
  for (int32_t i = 0; i < src->len; ++i) {
    val[i] = qor_strdup(src->val[i]);
    if (val[i] == nullptr) {
      domainlist partial{i, val};
      free_domainlist(&partial);
      return NS_S_NOMEM;
    }
  }
  *dst = domainlist{src->len, val};
  return NS_S_OK;
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
  if (!take(hold)) {
    NS__Log_UU(NS_EVENT_ERROR, NS_EV_WIN32, qor_get_last_error(), HERE);
    NS__qor_stop();
    return NS_S_SYSFAIL;
  }
  if (maxinterv == 0) {
    auto stored = static_cast<int32_t>(NS__GetRegInt("DomListExpireTime", kDefaultDomListExpire));
    maxinterv = stored < 1 ? 1 : stored;
  }
  long now = qor_time();
  if (now < expire && cache.len > 0) return copy_domainlist(list, &cache);

  free_domainlist(&cache);  // expired, or empty after a failed collection
  int st = collect_domain(&cache);
  if (st != NS_S_OK) return st;  // nothing kept: the next request collects again
  // Lists last longer as the service runs: 60 s, 120 s, ... up to maxinterv.
  if (interv != maxinterv) {
    interv = interv == 0 ? kDomListStep : interv + kDomListStep;
    if (interv > maxinterv) interv = maxinterv;
  }
  expire = now + interv;
  return copy_domainlist(list, &cache);
}

}  // namespace

int NS__InitQorop() {
  maxretry = static_cast<int>(NS__GetRegInt("MaxRetry", kDefaultMaxRetry));
  // domlistlock is an ordinary mutex and exists already; the domain list
  // starts as a newly created lock would find it, empty.
  std::unique_lock<std::mutex> hold(domlistlock, std::defer_lock);
  if (!take(hold)) return NS_S_SYSFAIL;
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
  char hname[kHostNameSize];
  if (gethostname(hname, sizeof hname) != 0) return NS_S_SYSFAIL;
  hname[sizeof hname - 1] = '\0';
  qor_hostent* he = nullptr;
  int rc = qor_host_by_name(hname, &he);
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
