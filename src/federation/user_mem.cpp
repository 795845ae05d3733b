#include "federation/user_mem.h"

#include "platform/memory.h"

void* NS__MIDL_user_allocate(size_t len) { return qor_malloc(len); }

void NS__MIDL_user_free(void* ptr) { qor_free(ptr); }
