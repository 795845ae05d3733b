// Record comparison and construction helpers shared by the record tests.
#pragma once

#include <gtest/gtest.h>

#include <cstring>

#include "registry/objutil.h"

inline bool same_str(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return std::strcmp(a, b) == 0;
}

inline ::testing::AssertionResult same_objid(const qorobjid& a, const qorobjid& b) {
  if (a.nsclass == b.nsclass && same_str(a.name, b.name) && same_str(a.domain, b.domain)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "identities differ: " << a.nsclass << "/" << (a.name ? a.name : "(null)") << " vs "
         << b.nsclass << "/" << (b.name ? b.name : "(null)");
}

inline ::testing::AssertionResult same_objects(const qorobjects& a, const qorobjects& b) {
  if (a.len != b.len) return ::testing::AssertionFailure() << "len " << a.len << " vs " << b.len;
  for (int32_t i = 0; i < a.len; ++i) {
    auto r = same_objid(a.val[i], b.val[i]);
    if (!r) return r << " at " << i;
  }
  return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult same_serverinfo(const qor_serverinfo& a,
                                                  const qor_serverinfo& b) {
  bool same = a.binding.len == b.binding.len && same_str(a.host, b.host) &&
              a.support_auth == b.support_auth;
  for (int32_t i = 0; same && i < a.binding.len; ++i) {
    same = same_str(a.binding.val[i], b.binding.val[i]);
  }
  if (same) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "server records differ (host " << (a.host ? a.host : "(null)") << ")";
}

// Records over string literals, for use as copy and write sources only.
inline qorobjid objid(int nsclass, const char* name, const char* domain) {
  return qorobjid{nsclass, const_cast<char*>(name), const_cast<char*>(domain)};
}
