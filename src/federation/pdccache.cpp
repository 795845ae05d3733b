#include "federation/pdccache.h"

#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/clock.h"
#include "platform/hostlookup.h"
#include "platform/lasterror.h"
#include "platform/mbstring.h"
#include "platform/memory.h"
#include "platform/netapi.h"
#include "platform/rpc/rpc.h"
#include "platform/sync.h"
#include "platform/textline.h"
#include "registry/objutil.h"
#include "registry/status.h"
#include "registry/table.h"
#include "service/elog.h"
#include "service/qormain.h"
#include "service/qorutil.h"

namespace {

// One cache entry, owned by the table.
struct cachedata {
  pdcadrs adrs;        // empty for types 4, 8 and 16
  long expire;         // qor_time() from which the entry is stale; unused for type 1
  unsigned long type;  // NS_PDC_*
  char* domain;        // the name as first given
  rpc_binding* ha;     // copy of the handle last stored, or null
  cachedata* prev;     // towards the most recently used end
  cachedata* next;     // towards the least recently used end
};

constexpr const char* kPreloadFile = "qorhosts";
constexpr uint32_t kDefaultPeriod = 7200;
constexpr uint32_t kDefaultMaxCache = 32;
// Every type but the preloaded one: the entries of the recency list.
constexpr unsigned long kLearnedTypes = ~NS_PDC_PRELOAD;

std::mutex pdclock;
// Everything below is guarded by pdclock.
tabhandle_t* tabha = nullptr;  // domain name -> cachedata; null while the cache is not built
cachedata* pdchead = nullptr;  // most recently added or used learned entry
cachedata* pdctail = nullptr;  // least recently used
long refperiod = kDefaultPeriod;
unsigned long maxcache = kDefaultMaxCache;  // 0: no limit
unsigned long ncached = 0;                  // entries in the recency list
unsigned long ndomain = 0;                  // entries of type 2

#define HERE NS_LOCATION(NS_MODULE_PDCCACHE)

// A failed wait for pdclock leaves the cache unusable: the service ends.
int lock_failed(uint32_t location) {
  NS__Log_UU(NS_EVENT_ERROR, NS_EV_WIN32, qor_get_last_error(), location);
  NS__qor_stop();
  return NS_S_SYSFAIL;
}

void freecache(void* data) {
  auto* ent = static_cast<cachedata*>(data);
  qor_free(ent->domain);
  NS__PdcFreeAdrs(&ent->adrs);
  if (ent->ha != nullptr) RpcBindingFree(&ent->ha);
  qor_free(ent);
}

void link_head(cachedata* ent) {
  ent->prev = nullptr;
  ent->next = pdchead;
  if (pdchead != nullptr) {
    pdchead->prev = ent;
  } else {
    pdctail = ent;
  }
  pdchead = ent;
}

void unlink_entry(cachedata* ent) {
  if (ent->prev != nullptr) {
    ent->prev->next = ent->next;
  } else {
    pdchead = ent->next;
  }
  if (ent->next != nullptr) {
    ent->next->prev = ent->prev;
  } else {
    pdctail = ent->prev;
  }
  ent->prev = ent->next = nullptr;
}

int delcache(const char* domain) {
  void* data;
  int st = NS__TabDel(tabha, domain, &data);
  if (st != NS_S_OK) return st;
  auto* ent = static_cast<cachedata*>(data);
  if (ent->type != NS_PDC_PRELOAD) {
    unlink_entry(ent);
    --ncached;
  }
  if (ent->type == NS_PDC_DCNAME) --ndomain;
  freecache(ent);
  return NS_S_OK;
}

// A use moves the entry to the most recently used end; its lifetime still
// counts from its addition.
void touch(cachedata* ent) {
  if (ent->type == NS_PDC_PRELOAD || ent == pdchead) return;
  unlink_entry(ent);
  link_head(ent);
}

// An address list has the string-list shape of rpcbinding, whose release
// and copy it uses. Null strings are skipped.
void free_strings(char** list, int n) {
  rpcbinding strings{n, list};
  NS__free_rpcbinding(&strings);
}

// The addresses of `host`: a dotted IPv4 literal as written, else every IPv4
// address it resolves to. 0; 14; 19 when it does not resolve (reported).
int makeadrs(const char* host, pdcadrs* adrs) {
  *adrs = pdcadrs{0, nullptr, 0};
  if (qor_inet_addr(host, nullptr)) {
    auto* list = static_cast<char**>(qor_malloc(sizeof(char*)));
    if (list == nullptr) return NS_S_NOMEM;
    list[0] = qor_strdup(host);
    if (list[0] == nullptr) {
      qor_free(list);
      return NS_S_NOMEM;
    }
    *adrs = pdcadrs{1, list, NS_PDC_ADRS_IPV4};
    return NS_S_OK;
  }
  qor_hostent* he = nullptr;
  int rc = qor_host_by_name(host, &he);
  if (rc == WSA_NOT_ENOUGH_MEMORY) return NS_S_NOMEM;
  if (rc == QOR_HOST_OK && (he->addrtype != AF_INET || he->length != 4)) {
    qor_host_free(he);
    return NS_S_SYSFAIL;
  }
  if (rc != QOR_HOST_OK || he->naddrs == 0) {
    NS__Log_S(NS_EVENT_WARNING, NS_EV_NO_HOSTADDR, host);
    qor_host_free(he);
    return NS_S_SYSFAIL;
  }
  int n = static_cast<int>(he->naddrs);
  int st = NS_S_OK;
  auto* list = static_cast<char**>(qor_calloc(static_cast<size_t>(n), sizeof(char*)));
  if (list == nullptr) st = NS_S_NOMEM;
  for (int i = 0; st == NS_S_OK && i < n; ++i) {
    char text[16];
    list[i] = qor_strdup(qor_inet_ntoa(he->addrs[i], text));
    if (list[i] == nullptr) st = NS_S_NOMEM;
  }
  qor_host_free(he);
  if (st != NS_S_OK) {
    if (list != nullptr) free_strings(list, n);
    return st;
  }
  *adrs = pdcadrs{n, list, NS_PDC_ADRS_IPV4};
  return NS_S_OK;
}

// The caller's own copy of `src`: 0, or 14 with `dst` empty.
int copyadrs(pdcadrs* dst, const pdcadrs* src) {
  const rpcbinding from{src->nadrs, src->adrs};
  rpcbinding to;
  int st = NS__copy_rpcbinding(&to, &from);
  *dst = pdcadrs{to.len, to.val, st == NS_S_OK ? src->adrstype : 0};
  return st;
}

// Adds an entry for `domain`, with the addresses of `host` when given. When
// the domain already has one, that entry is kept and handed out instead. The
// limit is enforced first, even when the domain turns out to be present.
// 0; 14; 19 host unresolvable, or no entry could be evicted; a table status.
// REQUIRES: pdclock held (a host name is resolved with it held).
int addcache(const char* domain, const char* host, unsigned long type, cachedata** out) {
  if (maxcache != 0 && ncached >= maxcache) {
    // Learned controllers are cheap to learn again; classified domains cost
    // a round of name-service imports, so they go only when no controller is left.
    unsigned long mask = ndomain != 0 ? NS_PDC_DCNAME : kLearnedTypes;
    cachedata* victim = pdctail;
    while (victim != nullptr && (victim->type & mask) == 0) victim = victim->prev;
    if (victim == nullptr) return NS_S_SYSFAIL;
    delcache(victim->domain);
  }
  auto* ent = static_cast<cachedata*>(qor_calloc(1, sizeof(cachedata)));
  if (ent == nullptr) return NS_S_NOMEM;
  ent->domain = qor_strdup(domain);
  if (ent->domain == nullptr) {
    qor_free(ent);
    return NS_S_NOMEM;
  }
  if (host != nullptr) {
    int st = makeadrs(host, &ent->adrs);
    if (st != NS_S_OK) {
      freecache(ent);
      return st;
    }
  }
  ent->type = type;
  int st = NS__TabAdd(tabha, domain, ent, nullptr);
  if (st == NS_S_OK) {
    if (type != NS_PDC_PRELOAD) {
      link_head(ent);
      ent->expire = qor_time() + refperiod;
      ++ncached;
    }
    if (type == NS_PDC_DCNAME) ++ndomain;
    if (out != nullptr) *out = ent;
    return NS_S_OK;
  }
  freecache(ent);
  if (st != NS_S_EXISTS) return st;
  if (out == nullptr) return NS_S_OK;
  void* data;
  st = NS__TabGet(tabha, domain, &data);
  if (st == NS_S_OK) *out = static_cast<cachedata*>(data);
  return st;
}

void report_bad_line(const char* text) { NS__Log_S(NS_EVENT_ERROR, NS_EV_BAD_PRELOAD, text); }

// One significant line of the preload file. REQUIRES: pdclock held.
void set_preload_entry(char* line) {
  char* fields[2];
  // Splitting ends the first field in place, so `line` then reads as far as
  // the end of its first field: the text the report carries.
  size_t n = qor_split_fields(line, fields, 2);
  if (n < 2 || !qor_utf8_valid(fields[0])) {
    report_bad_line(line);
    return;
  }
  void* found;
  if (NS__TabGet(tabha, fields[0], &found) == NS_S_OK) return;  // the first line wins
  if (addcache(fields[0], fields[1], NS_PDC_PRELOAD, nullptr) != NS_S_OK) report_bad_line(line);
}

// REQUIRES: pdclock held.
void read_preload(const char* path) {
  FILE* fp = qor_open_text(path);
  if (fp == nullptr) return;  // no preload file: nothing to preload
  char* buf = nullptr;
  size_t size = 0;
  // A read error (or a line holding a NUL byte) ends the file like its end:
  // an unreadable preload file is no error.
  while (NS__ReadLine(&buf, &size, fp) == NS_S_OK) set_preload_entry(buf);
  qor_free(buf);
  std::fclose(fp);
}

// Adds the learned entry and copies its addresses out. REQUIRES: pdclock held.
int add_learned(const char* domain, const char* host, unsigned long type, pdcadrs* adrs) {
  cachedata* ent = nullptr;
  int st = addcache(domain, host, type, &ent);
  if (st != NS_S_OK) return st;
  return copyadrs(adrs, &ent->adrs);
}

}  // namespace

int NS__PdcCacheInit(const char* datapath) {
  std::unique_lock<std::mutex> hold(pdclock, std::defer_lock);
  if (!qor_mutex_take(hold)) return lock_failed(HERE);
  if (tabha != nullptr) return NS_S_OK;
  int st = NS__TabInit(&tabha, _mbsicmp);
  if (st != NS_S_OK) return st;
  pdchead = pdctail = nullptr;
  ncached = ndomain = 0;
  refperiod = static_cast<long>(NS__GetRegInt("PdcCachePeriod", kDefaultPeriod));
  maxcache = NS__GetRegInt("PdcMaxCache", kDefaultMaxCache);
  if (datapath == nullptr) return NS_S_OK;
  size_t len = std::strlen(datapath) + 1 + std::strlen(kPreloadFile) + 1;
  auto* path = static_cast<char*>(qor_malloc(len));
  if (path == nullptr) {
    NS__TabTerm(tabha, nullptr);
    tabha = nullptr;
    return NS_S_NOMEM;
  }
  std::snprintf(path, len, "%s/%s", datapath, kPreloadFile);
  read_preload(path);
  qor_free(path);
  return NS_S_OK;
}

void NS__PdcCacheTerm() {
  std::lock_guard<std::mutex> hold(pdclock);
  NS__TabTerm(tabha, freecache);
  tabha = nullptr;
  pdchead = pdctail = nullptr;
  ncached = ndomain = 0;
}

int NS__PdcGet(const char* domain, pdcadrs* adrs, unsigned long* type, rpc_binding** ha) {
  *ha = nullptr;
  *type = NS_PDC_NODC;
  *adrs = pdcadrs{0, nullptr, 0};
  {
    std::unique_lock<std::mutex> hold(pdclock, std::defer_lock);
    if (!qor_mutex_take(hold)) return lock_failed(HERE);
    if (tabha == nullptr) return NS_S_NOTINIT;
    void* data;
    if (domain != nullptr && NS__TabGet(tabha, domain, &data) == NS_S_OK) {
      auto* ent = static_cast<cachedata*>(data);
      if (ent->type == NS_PDC_PRELOAD || ent->expire > qor_time()) {
        if (copyadrs(adrs, &ent->adrs) != NS_S_OK) return NS_S_NOMEM;
        if (ent->ha != nullptr && RpcBindingCopy(ent->ha, ha) != RPC_S_OK) *ha = nullptr;
        *type = ent->type;
        touch(ent);
        return NS_S_OK;
      }
      delcache(domain);  // stale: learn it afresh
    }
  }

  // The directory is asked without the lock; a thread that learns the same
  // domain meanwhile wins, and its entry is handed out below.
  if (!qor_utf8_valid(domain)) return NS_S_SYSFAIL;  // no wide form of the name
  // The directory takes an empty name for the machine's own domain: a
  // request for "" would be forwarded to this very service, again and again.
  if (domain[0] == '\0') return NS_S_SYSFAIL;
  LPBYTE buf = nullptr;
  NET_API_STATUS rc = NetGetDCName(nullptr, domain, &buf);
  if (rc == NERR_DCNotFound) {
    std::unique_lock<std::mutex> hold(pdclock, std::defer_lock);
    if (!qor_mutex_take(hold)) return lock_failed(HERE);
    int st = add_learned(domain, nullptr, NS_PDC_NODC, adrs);
    if (st == NS_S_OK) *type = NS_PDC_NODC;
    return st;
  }
  if (rc == ERROR_NOT_ENOUGH_MEMORY) return NS_S_NOMEM;
  if (rc != NERR_Success) return NS_S_NODOMAIN;

  const char* name = reinterpret_cast<const char*>(buf);
  if (std::strncmp(name, "\\\\", 2) == 0) name += 2;
  char* host = qor_strdup(name);
  NetApiBufferFree(buf);
  if (host == nullptr) return NS_S_NOMEM;
  int st;
  {
    std::unique_lock<std::mutex> hold(pdclock, std::defer_lock);
    if (!qor_mutex_take(hold)) {
      st = lock_failed(HERE);
    } else {
      st = add_learned(domain, host, NS_PDC_DCNAME, adrs);
      if (st == NS_S_OK) *type = NS_PDC_DCNAME;
    }
  }
  qor_free(host);
  return st;
}

int NS__PdcSetType(const char* domain, unsigned long type) {
  if (type != NS_PDC_NSFOUND && type != NS_PDC_NSNONE) return NS_S_SYSFAIL;
  std::unique_lock<std::mutex> hold(pdclock, std::defer_lock);
  if (!qor_mutex_take(hold)) return lock_failed(HERE);
  if (tabha == nullptr) return NS_S_NOTINIT;
  void* data;
  if (domain == nullptr || NS__TabGet(tabha, domain, &data) != NS_S_OK) return NS_S_NOENTRY;
  auto* ent = static_cast<cachedata*>(data);
  if (ent->type == NS_PDC_NODC) ent->type = type;
  return NS_S_OK;
}

int NS__PdcSetHandle(const char* domain, rpc_binding* ha) {
  std::unique_lock<std::mutex> hold(pdclock, std::defer_lock);
  if (!qor_mutex_take(hold)) return lock_failed(HERE);
  if (tabha == nullptr) return NS_S_NOTINIT;
  void* data;
  if (domain == nullptr || NS__TabGet(tabha, domain, &data) != NS_S_OK) return NS_S_NOENTRY;
  auto* ent = static_cast<cachedata*>(data);
  // A copy of the entry's own handle, as every forwarding to a domain in use
  // stores it, leaves the entry as it is: it holds that binding already.
  if (ent->ha != nullptr && rpc_binding_shares_connections(ent->ha, ha)) return NS_S_OK;
  if (ent->ha != nullptr) RpcBindingFree(&ent->ha);
  if (RpcBindingCopy(ha, &ent->ha) != RPC_S_OK) ent->ha = nullptr;
  return NS_S_OK;
}

namespace {

struct pdctabenumarg_t {
  unsigned long type;
  pdcEnumFunc_t enumfunc;
  void* priv;
};

int pdctabenum(tabhandle*, const char* key, void* data, void* priv) {
  auto* arg = static_cast<pdctabenumarg_t*>(priv);
  auto* ent = static_cast<cachedata*>(data);
  if ((ent->type & arg->type) == 0) return NS_S_OK;
  return arg->enumfunc(key, &ent->adrs, ent->type, arg->priv);
}

}  // namespace

int NS__PdcEnumEntry(unsigned long mask, pdcEnumFunc_t enumfunc, void* priv) {
  std::unique_lock<std::mutex> hold(pdclock, std::defer_lock);
  if (!qor_mutex_take(hold)) return lock_failed(HERE);
  if (tabha == nullptr) return NS_S_NOTINIT;
  pdctabenumarg_t arg{mask, enumfunc, priv};
  return NS__TabEnum(tabha, pdctabenum, &arg);
}

void NS__PdcFreeAdrs(pdcadrs* adrs) {
  if (adrs->nadrs <= 0) return;
  free_strings(adrs->adrs, adrs->nadrs);
}
