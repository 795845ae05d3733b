#include "platform/mbstring.h"

int _mbscmp(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return _NLSCMPERROR;
  // strcmp compares as unsigned char, which is code-point order for UTF-8.
  return std::strcmp(a, b);
}

int _mbsicmp(const char* a, const char* b) {
  if (!qor_utf8_valid(a) || !qor_utf8_valid(b)) return _NLSCMPERROR;
  const auto* p = reinterpret_cast<const unsigned char*>(a);
  const auto* q = reinterpret_cast<const unsigned char*>(b);
  for (;; ++p, ++q) {
    int d = qor_ascii_fold(*p) - qor_ascii_fold(*q);
    if (d != 0 || *p == 0) return d;
  }
}
