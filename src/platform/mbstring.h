// Multibyte string comparisons of the runtime library, for UTF-8 text.
// Object names compare with letter case (_mbscmp), domain names without
// (_mbsicmp). Both are plain functions so that a sorted table can take them as
// its comparison.
#pragma once

#include <cstring>

// What _mbsicmp answers when it cannot compare: either string is null or not
// valid UTF-8. Callers that must tell this apart from "greater" test for it.
constexpr int _NLSCMPERROR = 0x7FFFFFFF;

// True if `s` is a NUL-terminated, well-formed UTF-8 string (no overlong
// forms, no surrogates, nothing above U+10FFFF). A null pointer is not valid.
bool qor_utf8_valid(const char* s);

// Byte-wise comparison: negative, 0 or positive as `a` sorts before, equal to
// or after `b`. For UTF-8 this is code-point order. Invalid UTF-8 is compared
// as bytes too; a null argument gives _NLSCMPERROR.
int _mbscmp(const char* a, const char* b);

// Comparison ignoring the letter case of ASCII letters only (both sides folded
// to lower case, then compared byte-wise). _NLSCMPERROR when either string is
// null or not valid UTF-8.
int _mbsicmp(const char* a, const char* b);

// On UTF-8 a byte below 0x80 never occurs inside a multibyte character, so the
// multibyte search for an ASCII character is strchr.
inline const char* _mbschr(const char* s, int c) { return std::strchr(s, c); }
inline char* _mbschr(char* s, int c) { return std::strchr(s, c); }
