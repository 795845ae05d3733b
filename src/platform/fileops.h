// The file operations of the recovery files, behind one table of function
// pointers. Every open, write, flush, fsync, close, rename, remove, stat and
// mkdir of qor's own files goes through `qor_fops`, so that a test can make any
// one of them fail with a chosen errno (root ignores directory permissions, so
// a "read-only directory" cannot be staged with chmod).
//
// Every operation reports failure the POSIX way: null or -1 (EOF for flush and
// close) with errno set.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string_view>

struct qor_fileops {
  // fopen; the stream is opened close-on-exec.
  FILE* (*open)(const char* path, const char* mode);
  // Writes all `len` bytes to the stream: 0, or -1 with errno. An injected
  // failure writes nothing and does not set the stream's error indicator, so a
  // writer must count the results of its writes as well as ferror().
  int (*write)(FILE* fp, const void* data, size_t len);
  int (*flush)(FILE* fp);  // fflush
  int (*fsync)(FILE* fp);  // fsync of the stream's descriptor (flush first)
  // fclose. The stream is gone afterwards whatever the result.
  int (*close)(FILE* fp);
  int (*rename)(const char* from, const char* to);
  int (*remove)(const char* path);  // unlink
  int (*stat)(const char* path, struct stat* st);
  int (*mkdir)(const char* path, mode_t mode);
  // fsync of a directory, so that renames and removals inside it survive a crash.
  int (*fsyncdir)(const char* path);
};

// The operations in force. Tests may replace members (only while no other
// thread uses files); qor_fileops_reset() puts the defaults back.
extern qor_fileops qor_fops;

// Formats like fprintf and writes the result with qor_fops.write: 0 or -1.
int qor_fprintf(FILE* fp, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
int qor_vfprintf(FILE* fp, const char* fmt, va_list ap) __attribute__((format(printf, 2, 0)));
// Writes the pieces one after the other, in as few qor_fops.write calls as
// fit (one for a recovery-file record of usual length): 0 or -1. A rewrite
// writes every record of its class, so this is its hot path; fprintf's
// parsing of the format cost several times the copying.
int qor_fputparts(FILE* fp, std::initializer_list<std::string_view> parts);
// A number as qor_fprintf's "%d" writes it, in `buf`.
std::string_view qor_decimal(int32_t n, char (&buf)[12]);

// ---- Test hook (process-wide, so it also reaches the RPC call threads) ----

enum qor_fileop {
  QOR_FOP_OPEN,
  QOR_FOP_WRITE,
  QOR_FOP_FLUSH,
  QOR_FOP_FSYNC,
  QOR_FOP_CLOSE,
  QOR_FOP_RENAME,
  QOR_FOP_REMOVE,
  QOR_FOP_STAT,
  QOR_FOP_MKDIR,
  QOR_FOP_FSYNCDIR,
  QOR_FOP_COUNT
};

// The `n`-th call of `op` from now (1 = the next one) fails with errno `err`
// without doing anything (a failing close still releases the stream); later
// calls succeed again. n = 0 cancels the injection for `op`. Injections of
// different operations are independent.
void qor_fileops_fail_at(qor_fileop op, long n, int err);
// True once an injected failure has happened since the last fail_at or reset.
bool qor_fileops_failed();
// Default table back, every injection cancelled.
void qor_fileops_reset();
