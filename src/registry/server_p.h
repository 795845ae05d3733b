// Server-class store: "spooler", "superv" and "ntfy". Each class keeps a
// sorted table of its servers' registrations (qor_serverinfo) keyed by object
// name, compared with letter case, and its own recovery file.
#pragma once

#include "registry/nameobj.h"

// init_server, term_server, createobj_server, deleteobj_server,
// listobj_svassoc, getobj_server, gethost_server.
extern const nameobj_callback NS__server_cb;

// The generic name lister of the server and association classes: one
// {class, name, own domain} per registered name, in name order; obj is ignored.
// objs is set empty, belongs to the caller afterwards (NS__free_qorobjects)
// and is empty after a failure. Takes NS__objlock for reading, so the caller
// must not hold it. 0, 14 or the lock's status.
int listobj_svassoc(nameobj* tab, qorobjid* obj, qorobjects* objs);
