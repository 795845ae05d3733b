// The PDC address cache: per domain name, the network addresses of the
// domain's Primary Domain Controller, where another domain's name service
// runs. Entries are preloaded at start-up from the file "qorhosts" in the data
// directory, or learned on demand from the domain directory (NetGetDCName)
// and resolved to IPv4 addresses. The cache also remembers domains without a
// controller, how the RPC name service answered for them, and per domain one
// binding handle that a forwarded call found to work.
//
// Preload file "qorhosts": one domain a line, `DOMAIN HOST [ignored...]`,
// fields separated by blanks or tabs; empty lines and lines starting with '#'
// are skipped. HOST is a dotted IPv4 address, kept as written, or a host name
// resolved at start-up. The first line of a domain (ignoring letter case)
// wins. A line that cannot be used is reported as event 0xC000000B with the
// line up to the end of its first field, and skipped.
//
// Learned entries live "PdcCachePeriod" seconds (default 7200) from their
// addition, however often they are used; at most "PdcMaxCache" of them
// (default 32, 0 without limit) are kept, the least recently used learned
// controller (type 2) going first while there is one, else the least recently
// used entry of any learned type. Preloaded entries never expire and never
// count.
//
// Domain names compare ignoring ASCII letter case (_mbsicmp).
//
// Locks: `pdclock`, a mutex of this module, guards every entry, the recency
// list and the counters. Every call takes it and none calls out while holding
// it, except for host-name resolution inside an addition and the callback of
// NS__PdcEnumEntry. A caller may hold the domain list's lock (taken before
// pdclock), never the registry's lock or the name-service lock.
#pragma once

struct rpc_binding;

// The addresses of one controller. Handed out as copies.
struct pdcadrs {
  int nadrs;
  char** adrs;   // nadrs dotted IPv4 addresses as text
  int adrstype;  // NS_PDC_ADRS_IPV4, or 0 when there are none
};
constexpr int NS_PDC_ADRS_IPV4 = 2;

// Entry types, one bit each.
constexpr unsigned long NS_PDC_PRELOAD = 1;  // a line of the preload file; never expires
constexpr unsigned long NS_PDC_DCNAME = 2;   // controller named by the directory and resolved
constexpr unsigned long NS_PDC_NSFOUND = 4;  // no controller; the name service gave bindings
constexpr unsigned long NS_PDC_NSNONE = 8;   // no controller; the name service gave none
constexpr unsigned long NS_PDC_NODC = 16;    // no controller; the name service not asked yet

// Called by NS__PdcEnumEntry with pdclock held: it must not call into the
// cache, and `adrs` (the entry's own) is valid during the call only. A
// non-zero result stops the enumeration.
typedef int (*pdcEnumFunc_t)(const char* domain, pdcadrs* adrs, unsigned long type, void* priv);

// Builds the cache: reads "PdcCachePeriod" and "PdcMaxCache" and, when
// `datapath` is not null, preloads `datapath`/qorhosts (a missing or
// unreadable file preloads nothing). 0 (also when already built, or whatever
// the file holds); 14 when memory runs out before the preload file is read.
// Start-up only, before any thread forwards.
int NS__PdcCacheInit(const char* datapath);
// Releases every entry and leaves the cache unbuilt. No thread may use it.
void NS__PdcCacheTerm();

// What the cache knows of `domain`, learning it from the domain directory
// when it holds nothing current. On 0, *type is one of the entry types,
// *adrs the caller's copy of the addresses (at least one for types 1 and 2,
// none otherwise; release with NS__PdcFreeAdrs) and *ha the caller's copy of
// the stored handle, or null (release with RpcBindingFree). Otherwise *type is
// 16, *ha null and *adrs empty: 7 the directory failed other than by naming
// no controller; 13 cache not built; 14 memory; 19 an empty name (which the
// directory takes for the own domain), a name that is not valid UTF-8, a
// controller name that does not resolve (event 0xC000000A; nothing is
// cached, so the next lookup asks again), or a failed lock.
int NS__PdcGet(const char* domain, pdcadrs* adrs, unsigned long* type, rpc_binding** ha);
// Classifies a domain without a controller: an entry of type 16 takes `type`
// (4 or 8); entries of other types keep theirs. 0; 15 no entry; 19 another
// type (nothing changes) or a failed lock; 13 cache not built.
int NS__PdcSetType(const char* domain, unsigned long type);
// Stores a copy of `ha` as the domain's working handle, replacing (and
// freeing) the one stored before; the caller keeps `ha`. A copy that fails
// leaves no handle. 0; 15 no entry; 19 failed lock; 13 cache not built.
int NS__PdcSetHandle(const char* domain, rpc_binding* ha);
// Calls `enumfunc` for every entry whose type has a bit of `mask`, in
// domain-name order, with pdclock held. 0, the first non-zero result of
// `enumfunc`, 19 failed lock, or 13 cache not built.
int NS__PdcEnumEntry(unsigned long mask, pdcEnumFunc_t enumfunc, void* priv);
// Frees the address strings and their array (nothing when nadrs is 0); the
// fields keep their values.
void NS__PdcFreeAdrs(pdcadrs* adrs);
