// Test helper: runs a step with the N-th allocation failing, for N = 1, 2, ...
#pragma once

#include <gtest/gtest.h>

#include "platform/memory.h"

// Calls `attempt()` with allocation N failing for N = 1, 2, ... until a run in which the injected
// failure no longer fires; `attempt` makes its calls, checks what each failure left behind and
// returns true when everything succeeded. The run without a failure must succeed; with `strict`
// every failure must show as well (callers that fall back to a default on failure pass false).
// Returns how many runs had a failure.
template <typename F>
int for_each_alloc_failure(F attempt, bool strict = true) {
  for (long n = 1; n < 100000; ++n) {
    SCOPED_TRACE(::testing::Message() << "allocation " << n << " failing");
    qor_alloc_fail_at(n);
    bool ok = attempt();
    bool fired = qor_alloc_failed();
    qor_alloc_fail_at(0);
    if (!fired) {
      EXPECT_TRUE(ok) << "failed without an injected failure";
      return static_cast<int>(n - 1);
    }
    EXPECT_TRUE(!strict || !ok) << "failure went unnoticed";
  }
  ADD_FAILURE() << "runaway";
  return -1;
}
