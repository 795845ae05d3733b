// Member-list-class store: "group" and "backup". Each object is a named list
// of member identities, kept in the order given.
#pragma once

#include "registry/nameobj.h"

// init_group, term_group, createobj_group, deleteobj_group, listobj_group,
// getobj_group, gethost_group.
extern const nameobj_callback NS__group_cb;
