#include "platform/fileops.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<long> countdown[QOR_FOP_COUNT];
std::atomic<int> inject_errno[QOR_FOP_COUNT];
std::atomic<bool> fired{false};

// Tells whether this call is the one chosen to fail; errno is then set.
bool inject(qor_fileop op) {
  long n = countdown[op].load(std::memory_order_relaxed);
  if (n <= 0) return false;
  // Several threads may race here; exactly one of them sees the count reach 0.
  if (countdown[op].fetch_sub(1, std::memory_order_acq_rel) != 1) return false;
  fired.store(true, std::memory_order_release);
  errno = inject_errno[op].load(std::memory_order_relaxed);
  return true;
}

FILE* real_open(const char* path, const char* mode) {
  if (inject(QOR_FOP_OPEN)) return nullptr;
  // 'e': close-on-exec, so the files do not leak into programs the service starts.
  char m[16];
  size_t n = std::strlen(mode);
  if (n + 2 > sizeof m) {
    errno = EINVAL;
    return nullptr;
  }
  std::memcpy(m, mode, n);
  m[n] = 'e';
  m[n + 1] = '\0';
  return std::fopen(path, m);
}

int real_write(FILE* fp, const void* data, size_t len) {
  if (inject(QOR_FOP_WRITE)) return -1;
  if (len == 0) return 0;
  // A stream of ours is written by one thread only (a recovery file under the
  // registry's write lock): stdio's own lock would be taken for nothing.
  return fwrite_unlocked(data, 1, len, fp) == len ? 0 : -1;
}

int real_flush(FILE* fp) {
  if (inject(QOR_FOP_FLUSH)) return EOF;
  return std::fflush(fp);
}

int real_fsync(FILE* fp) {
  if (inject(QOR_FOP_FSYNC)) return -1;
  if (std::fflush(fp) != 0) return -1;
  return ::fsync(fileno(fp));
}

int real_close(FILE* fp) {
  if (inject(QOR_FOP_CLOSE)) {
    int err = errno;
    std::fclose(fp);
    errno = err;
    return EOF;
  }
  return std::fclose(fp);
}

int real_rename(const char* from, const char* to) {
  if (inject(QOR_FOP_RENAME)) return -1;
  return ::rename(from, to);
}

int real_remove(const char* path) {
  if (inject(QOR_FOP_REMOVE)) return -1;
  return ::unlink(path);
}

int real_stat(const char* path, struct stat* st) {
  if (inject(QOR_FOP_STAT)) return -1;
  return ::stat(path, st);
}

int real_mkdir(const char* path, mode_t mode) {
  if (inject(QOR_FOP_MKDIR)) return -1;
  return ::mkdir(path, mode);
}

int real_fsyncdir(const char* path) {
  if (inject(QOR_FOP_FSYNCDIR)) return -1;
  int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  int rc = ::fsync(fd);
  int err = errno;
  ::close(fd);
  errno = err;
  return rc;
}

constexpr qor_fileops default_fops = {real_open,  real_write,   real_flush,  real_fsync,
                                      real_close, real_rename,  real_remove, real_stat,
                                      real_mkdir, real_fsyncdir};

}  // namespace

qor_fileops qor_fops = default_fops;

int qor_vfprintf(FILE* fp, const char* fmt, va_list ap) {
  // Recovery-file lines are short; a longer one gets a block of its own. That
  // block is stdio's kind of scratch memory, not record memory, so it does not
  // come from the allocation hook; running out of it is a failed write.
  char local[512];
  va_list again;
  va_copy(again, ap);
  int n = std::vsnprintf(local, sizeof local, fmt, ap);
  if (n < 0) {
    va_end(again);
    return -1;
  }
  int rc;
  if (static_cast<size_t>(n) < sizeof local) {
    rc = qor_fops.write(fp, local, static_cast<size_t>(n));
  } else {
    char* big = static_cast<char*>(std::malloc(static_cast<size_t>(n) + 1));
    if (big == nullptr) {
      va_end(again);
      errno = ENOMEM;
      return -1;
    }
    std::vsnprintf(big, static_cast<size_t>(n) + 1, fmt, again);
    rc = qor_fops.write(fp, big, static_cast<size_t>(n));
    std::free(big);
  }
  va_end(again);
  return rc;
}

int qor_fputparts(FILE* fp, std::initializer_list<std::string_view> parts) {
  char buf[512];
  size_t used = 0;
  for (std::string_view part : parts) {
    if (used + part.size() > sizeof buf) {
      if (used > 0 && qor_fops.write(fp, buf, used) != 0) return -1;
      used = 0;
      if (part.size() > sizeof buf) {
        if (qor_fops.write(fp, part.data(), part.size()) != 0) return -1;
        continue;
      }
    }
    std::memcpy(buf + used, part.data(), part.size());
    used += part.size();
  }
  return used > 0 ? qor_fops.write(fp, buf, used) : 0;
}

std::string_view qor_decimal(int32_t n, char (&buf)[12]) {
  auto end = std::to_chars(buf, buf + sizeof buf, n).ptr;  // "-2147483648" fits
  return {buf, static_cast<size_t>(end - buf)};
}

int qor_fprintf(FILE* fp, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int rc = qor_vfprintf(fp, fmt, ap);
  va_end(ap);
  return rc;
}

void qor_fileops_fail_at(qor_fileop op, long n, int err) {
  inject_errno[op].store(err, std::memory_order_relaxed);
  countdown[op].store(n, std::memory_order_release);
  fired.store(false, std::memory_order_release);
}

bool qor_fileops_failed() { return fired.load(std::memory_order_acquire); }

void qor_fileops_reset() {
  qor_fops = default_fops;
  for (int op = 0; op < QOR_FOP_COUNT; ++op) {
    countdown[op].store(0, std::memory_order_relaxed);
  }
  fired.store(false, std::memory_order_release);
}
