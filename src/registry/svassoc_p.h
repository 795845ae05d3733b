// Association-class store: "lp", "pp" and "queue". Each object names another
// object, its association (as a rule its server); a lookup follows it through
// the registry front and answers with the target's identity and bindings.
#pragma once

#include "registry/nameobj.h"

// init_svassoc, term_svassoc, createobj_svassoc, deleteobj_svassoc,
// listobj_svassoc, getobj_svassoc, gethost_svassoc.
extern const nameobj_callback NS__svassoc_cb;

// Most associations one lookup follows; one more answers 17 (a longer chain or
// a cycle).
constexpr int NS_MAX_ASSOC_HOPS = 16;
