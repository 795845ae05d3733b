// Allocation of record and table memory. Every block that a record, a table or
// anything crossing the remote interface owns comes from here, so that a test
// can make the N-th allocation fail and reach every out-of-memory path.
// Blocks are plain malloc blocks: qor_free and free are interchangeable.
#pragma once

#include <cstddef>

void* qor_malloc(size_t size);
void* qor_calloc(size_t count, size_t size);
// Like realloc: on failure returns null and leaves `block` intact.
void* qor_realloc(void* block, size_t size);
// Duplicates a NUL-terminated string; null on failure.
char* qor_strdup(const char* s);
void qor_free(void* block);

// Once, before the process starts threads: one malloc arena per core. By
// default every call thread may take an arena of its own (eight per core);
// connection buffers and the records written between them then scatter over
// them all, and a long-running service's heap grows far past its working size
// before it settles. MALLOC_ARENA_MAX in the environment still decides.
void qor_heap_setup();

// Test hook, per thread: the `n`-th allocation from now (1 = the next one)
// fails, and every later one succeeds again. 0 disables the injection.
void qor_alloc_fail_at(long n);
// True once the injected failure has happened (since the last qor_alloc_fail_at).
bool qor_alloc_failed();
