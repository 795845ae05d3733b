#include "platform/clock.h"

#include <atomic>
#include <ctime>

namespace {
std::atomic<long> fixed_time{0};
}

long qor_time() {
  long t = fixed_time.load(std::memory_order_relaxed);
  return t != 0 ? t : static_cast<long>(std::time(nullptr));
}

void qor_time_set(long t) { fixed_time.store(t, std::memory_order_relaxed); }
