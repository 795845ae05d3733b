// The request managers of ns_qor_if: one per remote operation, called by the
// server stubs (qor_s.h) on the RPC runtime's call threads. A manager checks
// its arguments and decides whether the request concerns this service's own
// domain: a null domain, or one equal to NS__ms_domain ignoring letter case
// (_mbsicmp). Such a request is served here, through the registry front
// (registry/nameobj.h) or the domain list; any other domain is handed to the
// forwarding of that operation. A domain name that cannot be compared (not
// valid UTF-8) answers 19 and nothing is done.
//
// A request for another domain is forwarded unchanged to that domain's
// service and answered with its status and outputs. Its bindings come from
// the PDC cache (the handle that worked last time, then the controller's
// addresses resolved at its endpoint mapper) and, for a domain without a
// known controller, from the name-service entry "/.../DOMAIN/Varnelith/qor".
// A binding answering 1723 or 1727 is retried after 1, 4, 9 ... ms, up to
// "MaxRetry" times; 1726 ends the forwarding with 18 (the call may have run);
// any other failure takes the next binding. When no call completes: 18 the
// controller's addresses are used up, or the name service stayed unavailable
// for five import begins; 7 the name service has no (more) bindings for the
// domain, or the cache knows it has none (no traffic then, until the cache
// entry expires); 14; 19 the name service failed otherwise, or its lock
// (NS__nslock) could not be had (event 0xC0000003, the service stops).
// Forwarding holds no lock during a remote call and may take as long as the
// calls and pauses it makes.
//
// Managers keep no state of their own but the domain list, and log nothing
// but a lock that cannot be had (event 0xC0000003, then the service stops).
// Their out parameters arrive zeroed from the stub, are allocated with malloc
// (qor_malloc) and are the stub's to release. They take no lock themselves:
// the registry front takes NS__objlock, the domain list its own domlistlock
// and, inside it, the PDC cache's lock; the forwarding takes the PDC cache's
// lock and NS__nslock, never together.
#pragma once

#include "federation/qor_s.h"
#include "registry/nameobj.h"  // NS__ms_domain, the own domain

// The name-service entry of the own domain's service, relative to the cell.
constexpr const char* NS_QOR_ENTRY = "/.:/Varnelith/qor";

// The name-service entry of a domain's service, in *entry (malloc'd, the
// caller frees): NS_QOR_ENTRY for a null domain, else
// "/.../DOMAIN/Varnelith/qor" with the name as given. 0; 14 (*entry null).
int NS__MakeQorEntry(const char* domain, char** entry);

// Reads "MaxRetry" (default 10), the number of times a forwarded call retries
// a busy binding, and makes the domain list start empty. 0; 19 when the
// domain list's lock cannot be had. Called first by the start-up sequence,
// before the RPC server listens.
int NS__InitQorop();

// The managers, in operation order. Statuses besides the registry front's:
// 10 no obj or no name (deleteobj: 11; listobj: only a null obj), 14 memory
// while copying the answer, 19 a domain that cannot be compared or, for
// hello, a local host name or address that cannot be found; for another
// domain the forwarding's statuses above.
int NS__sv_qor_getdomain(void* ha, char** domain);
int NS__sv_qor_deleteobj(void* ha, const qorobjid* obj);
int NS__sv_qor_createobj(void* ha, const qorobjid* obj, const qorobjid* assoc, int32_t force,
                         const qor_serverinfo* svinfo, const qorobjects* members, int32_t* created);
// A forwarding that completes no call leaves `server` and `nsclass` of class 10.
int NS__sv_qor_getobj(void* ha, const qorobjid* obj, qorobjid* server, rpcbinding* binding,
                      int32_t* supportauth, int* nsclass);
int NS__sv_qor_listobj(void* ha, const qorobjid* obj, qorobjects* objects);
int NS__sv_qor_gethost(void* ha, const qorobjid* obj, char** host);
// The known domains: the own one, the preloaded ones of the PDC cache and
// those of the domain directory, each once (the spelling met first wins), in
// ascending order ignoring letter case. The list is kept and served again for
// 60 s after the first collection, 60 s longer after each later one, up to
// "DomListExpireTime" (default 300; less than 1 counts as 1). `list` is empty
// on failure: 14; 19 the directory cannot be enumerated (the next request
// collects again); 13 the PDC cache not built.
int NS__sv_qor_listdomain(void* ha, const char* domain, domainlist* list);
// The dotted IPv4 address (the first one) of the machine the domain's name
// service runs on: for the own domain, that of "ComputerName" (the machine's
// name in the domain directory), else of the host name.
int NS__sv_qor_hello(void* ha, const char* domain, char** host);

// The managers as the interface's entry-point vector: the default_epv of
// NS__sv_ns_qor_if_v1_1_s_ifspec.
extern const NS__sv_ns_qor_if_v1_1_epv_t NS__qor_manager_epv;
