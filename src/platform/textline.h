// Small text helpers shared by the platform layer's file readers (settings file, domain
// directory, hosts file, smb.conf): bounded line reading that accepts LF and CRLF line ends,
// ASCII-only case folding and UTF-8 validation.
#pragma once

#include <cstddef>
#include <cstdio>

enum qor_line_result {
  QOR_LINE_OK,         // `buf` holds one line, NUL-terminated, without its LF or CRLF
  QOR_LINE_MALFORMED,  // the line was longer than the buffer or held a NUL byte; it was consumed
  QOR_LINE_EOF,        // no line left
  QOR_LINE_ERROR,      // the file could not be read
};

// Reads the next line into `buf` (room for `cap` bytes including the terminating NUL; `cap` >= 1).
// `*len` receives the line's length for QOR_LINE_OK. A last line without LF counts as a line.
qor_line_result qor_read_line(FILE* file, char* buf, size_t cap, size_t* len);

// Blank as the readers understand it: space or tab.
inline bool qor_is_blank(char c) { return c == ' ' || c == '\t'; }

// Equality of byte strings folding ASCII letters only (names in files compare this way, so the
// answer never depends on the process's locale).
bool qor_ascii_iequal(const char* a, const char* b);
bool qor_ascii_iequal_n(const char* a, size_t alen, const char* b, size_t blen);

// True when s[0..len) is well-formed UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
bool qor_utf8_valid(const char* s, size_t len);
