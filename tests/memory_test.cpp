#include "platform/memory.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(Memory, InjectedFailureHitsExactlyTheNthAllocation) {
  qor_alloc_fail_at(3);
  void* a = qor_malloc(8);
  char* b = qor_strdup("name");
  EXPECT_FALSE(qor_alloc_failed());
  void* c = qor_calloc(2, 4);
  EXPECT_EQ(c, nullptr);
  EXPECT_TRUE(qor_alloc_failed());
  void* d = qor_malloc(8);  // later allocations succeed again
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_NE(d, nullptr);
  EXPECT_STREQ(b, "name");
  qor_free(a);
  qor_free(b);
  qor_free(d);
  qor_alloc_fail_at(0);
}

TEST(Memory, FailedReallocKeepsTheOldBlock) {
  char* p = static_cast<char*>(qor_malloc(4));
  ASSERT_NE(p, nullptr);
  std::memcpy(p, "abc", 4);
  qor_alloc_fail_at(1);
  EXPECT_EQ(qor_realloc(p, 1 << 20), nullptr);
  EXPECT_STREQ(p, "abc");
  qor_free(p);
}
