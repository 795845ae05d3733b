// Small text helpers shared by the platform layer's file readers (settings file, domain
// directory, hosts file, smb.conf) and the runtime library's multibyte comparisons: bounded
// line reading that accepts LF and CRLF line ends, ASCII-only case folding and UTF-8 validation.
#pragma once

#include <cstddef>
#include <cstdio>

enum qor_line_result {
  QOR_LINE_OK,         // `buf` holds one line, NUL-terminated, without its LF or CRLF
  QOR_LINE_MALFORMED,  // the line was longer than the buffer or held a NUL byte; it was consumed
  QOR_LINE_EOF,        // no line left
  QOR_LINE_ERROR,      // the file could not be read
};

// Opens a text file for reading, close-on-exec, past a UTF-8 byte-order mark at its start (some
// editors write one, and the first line would otherwise not parse). Null, errno set, when the
// file cannot be opened.
FILE* qor_open_text(const char* path);

// Reads the next line into `buf` (room for `cap` bytes including the terminating NUL; `cap` >= 1).
// `*len` receives the line's length for QOR_LINE_OK. A last line without LF counts as a line.
qor_line_result qor_read_line(FILE* file, char* buf, size_t cap, size_t* len);

// Blank as the readers understand it: space or tab.
inline bool qor_is_blank(char c) { return c == ' ' || c == '\t'; }

// Splits `line` at blanks into at most `max` fields, NUL-terminating each in place. Returns the
// number of fields, or `max` + 1 when more text follows the last one stored.
size_t qor_split_fields(char* line, char** fields, size_t max);

// Byte to byte with ASCII capitals made small; every other byte maps to itself. A table, as
// the domain tables fold on every bisection step.
struct qor_ascii_fold_table {
  unsigned char to[256];
  constexpr qor_ascii_fold_table() : to() {
    for (int c = 0; c < 256; ++c)
      to[c] = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  }
};
inline constexpr qor_ascii_fold_table kQorAsciiFold;

inline unsigned char qor_ascii_fold(unsigned char c) { return kQorAsciiFold.to[c]; }

// Equality of byte strings folding ASCII letters only (names in files compare this way, so the
// answer never depends on the process's locale).
bool qor_ascii_iequal(const char* a, const char* b);
bool qor_ascii_iequal_n(const char* a, size_t alen, const char* b, size_t blen);

// Length of the well-formed UTF-8 sequence at s[0..left) (`left` >= 1): 1 for any byte below
// 0x80 (NUL included), 0 if the bytes there are no well-formed sequence (overlong form,
// surrogate, above U+10FFFF, stray continuation byte, or cut off by `left`).
size_t qor_utf8_seq(const char* s, size_t left);

// True when s[0..len) is well-formed UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
bool qor_utf8_valid(const char* s, size_t len);
