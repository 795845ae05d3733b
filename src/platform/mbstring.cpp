#include "platform/mbstring.h"

#include <cstdint>

bool qor_utf8_valid(const char* s) {
  if (s == nullptr) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  for (;;) {
    // Names are mostly ASCII: skip it in a tight loop.
    while (*p != 0 && *p < 0x80) ++p;
    if (*p == 0) return true;
    unsigned char c = *p;
    int more;
    uint32_t cp;
    uint32_t min;
    if (c >= 0xC2 && c <= 0xDF) {
      more = 1;
      cp = c & 0x1F;
      min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      more = 2;
      cp = c & 0x0F;
      min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      more = 3;
      cp = c & 0x07;
      min = 0x10000;
    } else {
      return false;  // continuation byte first, 0xC0/0xC1 overlong lead, or 0xF5..0xFF
    }
    ++p;
    for (int i = 0; i < more; ++i, ++p) {
      // The terminating NUL is no continuation byte, so a cut sequence stops here.
      if ((*p & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (*p & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  }
}

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
