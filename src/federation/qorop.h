// The request managers of ns_qor_if: one per remote operation, called by the
// server stubs (qor_s.h) on the RPC runtime's call threads. A manager checks
// its arguments and decides whether the request concerns this service's own
// domain: a null domain, or one equal to NS__ms_domain ignoring letter case
// (_mbsicmp). Such a request is served here, through the registry front
// (registry/nameobj.h) or the domain list; any other domain is handed to the
// forwarding of that operation. A domain name that cannot be compared (not
// valid UTF-8) answers 19 and nothing is done.
//
// Forwarding to another domain is not built yet: every request for another
// domain answers 18, as a forwarding that reached no binding does.
//
// Managers log nothing and keep no state; their out parameters arrive zeroed
// from the stub, are allocated with malloc (qor_malloc) and are the stub's to
// release. They take no lock themselves: the registry front takes NS__objlock,
// the domain list its own domlistlock and, inside it, the PDC cache's lock.
#pragma once

#include "federation/qor_s.h"
#include "registry/nameobj.h"  // NS__ms_domain, the own domain

// Reads "MaxRetry" (default 10), the number of times a forwarded call retries
// a busy binding, and makes the domain list start empty. 0; 19 when the
// domain list's lock cannot be had. Called first by the start-up sequence,
// before the RPC server listens.
int NS__InitQorop();

// The managers, in operation order. Statuses besides the registry front's:
// 10 no obj or no name (deleteobj: 11; listobj: only a null obj), 14 memory
// while copying the answer, 18 another domain, 19 a domain that cannot be
// compared or, for hello, a local host name or address that cannot be found.
int NS__sv_qor_getdomain(void* ha, char** domain);
int NS__sv_qor_deleteobj(void* ha, const qorobjid* obj);
int NS__sv_qor_createobj(void* ha, const qorobjid* obj, const qorobjid* assoc, int32_t force,
                         const qor_serverinfo* svinfo, const qorobjects* members, int32_t* created);
// For another domain `server` and `nsclass` come back as class 10.
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
// service runs on.
int NS__sv_qor_hello(void* ha, const char* domain, char** host);

// The managers as the interface's entry-point vector: the default_epv of
// NS__sv_ns_qor_if_v1_1_s_ifspec.
extern const NS__sv_ns_qor_if_v1_1_epv_t NS__qor_manager_epv;
