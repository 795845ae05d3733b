// Memory functions of the ns_qor_if stubs. Every string and array that
// crosses the remote interface, in either direction, is allocated and
// released with these two, so that a record received by a client stub can be
// handed straight back to a server stub, which frees it.
#pragma once

#include <cstddef>

// A plain malloc block of `len` bytes (through the allocation hook of
// platform/memory.h); null when memory is exhausted.
void* NS__MIDL_user_allocate(size_t len);
// Frees a block from NS__MIDL_user_allocate or malloc; null is ignored.
void NS__MIDL_user_free(void* ptr);
