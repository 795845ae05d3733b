#include "platform/memory.h"

#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

// Per thread, so that a test injecting failures does not disturb other threads.
thread_local long fail_countdown = 0;
thread_local bool fail_fired = false;

bool inject_failure() {
  if (fail_countdown <= 0) return false;
  if (--fail_countdown != 0) return false;
  fail_fired = true;
  return true;
}

}  // namespace

void* qor_malloc(size_t size) { return inject_failure() ? nullptr : std::malloc(size ? size : 1); }

void* qor_calloc(size_t count, size_t size) {
  if (inject_failure()) return nullptr;
  return std::calloc(count ? count : 1, size ? size : 1);
}

void* qor_realloc(void* block, size_t size) {
  return inject_failure() ? nullptr : std::realloc(block, size ? size : 1);
}

char* qor_strdup(const char* s) {
  size_t n = std::strlen(s) + 1;
  char* copy = static_cast<char*>(qor_malloc(n));
  if (copy != nullptr) std::memcpy(copy, s, n);
  return copy;
}

void qor_free(void* block) { std::free(block); }

void qor_heap_setup() {
  if (std::getenv("MALLOC_ARENA_MAX") != nullptr) return;
  unsigned cores = std::thread::hardware_concurrency();
  mallopt(M_ARENA_MAX, cores > 0 ? static_cast<int>(cores) : 1);
}

void qor_alloc_fail_at(long n) {
  fail_countdown = n;
  fail_fired = false;
}

bool qor_alloc_failed() { return fail_fired; }
