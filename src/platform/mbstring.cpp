#include "platform/mbstring.h"

int _mbscmp(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return _NLSCMPERROR;
  // strcmp compares as unsigned char, which is code-point order for UTF-8.
  return std::strcmp(a, b);
}

namespace {

// Byte to byte with ASCII capitals made small; every other byte maps to itself.
struct FoldTable {
  unsigned char to[256];
  constexpr FoldTable() : to() {
    for (int c = 0; c < 256; ++c)
      to[c] = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  }
};
constexpr FoldTable kFold;

}  // namespace

int _mbsicmp(const char* a, const char* b) {
  if (!qor_utf8_valid(a) || !qor_utf8_valid(b)) return _NLSCMPERROR;
  const auto* p = reinterpret_cast<const unsigned char*>(a);
  const auto* q = reinterpret_cast<const unsigned char*>(b);
  for (;; ++p, ++q) {
    int d = kFold.to[*p] - kFold.to[*q];
    if (d != 0 || *p == 0) return d;
  }
}
