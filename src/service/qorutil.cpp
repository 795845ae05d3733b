#include "service/qorutil.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/memory.h"
#include "platform/textline.h"

namespace {

constexpr const char* kDefaultSettingsFile = "/etc/qor/qor.conf";
// A settings line longer than this is malformed and ignored.
constexpr size_t kMaxLine = 65536;
// The first expansion of an expand_sz value goes into this many bytes; a longer result is
// expanded a second time into a buffer of exactly its size.
constexpr uint32_t kExpandFirst = 256;
// The list array starts with this many slots and grows by as many.
constexpr size_t kListStep = 8;

constexpr const char* kSystemLockDir = "/run/lock/qor";

// Value types, numbered as the original registry numbers them.
enum value_type : int {
  kTypeSz = 1,
  kTypeExpandSz = 2,
  kTypeDword = 4,
  kTypeMultiSz = 7,
};

// The value found for a name: its type and its text (qor_malloc), still escaped for multi_sz.
struct setting {
  int type;
  uint32_t dword;
  char* text;
};

const char* settings_path() {
  const char* path = std::getenv("QOR_CONFIG");
  return (path != nullptr && *path != '\0') ? path : kDefaultSettingsFile;
}

void trim(const char** begin, const char** end) {
  while (*begin < *end && qor_is_blank(**begin)) ++*begin;
  while (*end > *begin && qor_is_blank((*end)[-1])) --*end;
}

// "90" or "0x5A", 32 bits; anything else (sign, blanks inside, overflow) is malformed.
bool parse_dword(const char* s, size_t len, uint32_t* out) {
  uint64_t v = 0;
  size_t i = 0;
  unsigned base = 10;
  if (len > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    i = 2;
  }
  if (i == len) return false;
  for (; i < len; ++i) {
    unsigned d;
    char c = s[i];
    if (c >= '0' && c <= '9') {
      d = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      d = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      d = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
    v = v * base + d;
    if (v > 0xFFFFFFFFu) return false;
  }
  *out = static_cast<uint32_t>(v);
  return true;
}

// One line of the file: `Name = type:value`. True when it is a well-formed value line; the
// name and the value are left as ranges of `line`.
bool parse_line(const char* line, size_t len, const char** name, size_t* name_len, int* type,
                uint32_t* dword, const char** value, size_t* value_len) {
  const char* p = line;
  const char* end = line + len;
  while (p < end && qor_is_blank(*p)) ++p;
  if (p == end || *p == '#') return false;
  if (!qor_utf8_valid(line, len)) return false;

  const char* eq = static_cast<const char*>(std::memchr(p, '=', static_cast<size_t>(end - p)));
  if (eq == nullptr) return false;
  const char* nb = p;
  const char* ne = eq;
  trim(&nb, &ne);
  if (nb == ne) return false;

  const char* rb = eq + 1;
  const char* colon = static_cast<const char*>(std::memchr(rb, ':', static_cast<size_t>(end - rb)));
  if (colon == nullptr) return false;
  const char* tb = rb;
  const char* te = colon;
  trim(&tb, &te);
  const char* vb = colon + 1;
  const char* ve = end;
  trim(&vb, &ve);

  size_t tlen = static_cast<size_t>(te - tb);
  size_t vlen = static_cast<size_t>(ve - vb);
  if (qor_ascii_iequal_n(tb, tlen, "dword", 5)) {
    if (!parse_dword(vb, vlen, dword)) return false;
    *type = kTypeDword;
  } else if (qor_ascii_iequal_n(tb, tlen, "sz", 2)) {
    *type = kTypeSz;
  } else if (qor_ascii_iequal_n(tb, tlen, "expand_sz", 9)) {
    *type = kTypeExpandSz;
  } else if (qor_ascii_iequal_n(tb, tlen, "multi_sz", 8)) {
    *type = kTypeMultiSz;
  } else {
    return false;
  }
  *name = nb;
  *name_len = static_cast<size_t>(ne - nb);
  *value = vb;
  *value_len = vlen;
  return true;
}

// Looks `key` up in the settings file: the last well-formed line naming it wins. Returns true
// with `*out` filled (out->text belongs to the caller) or false when the value is absent, the
// file cannot be read or memory is short.
bool find_value(const char* key, setting* out) {
  out->text = nullptr;
  FILE* file = qor_open_text(settings_path());
  if (file == nullptr) return false;
  char* line = static_cast<char*>(qor_malloc(kMaxLine));
  if (line == nullptr) {
    std::fclose(file);
    return false;
  }
  size_t key_len = std::strlen(key);
  bool found = false;
  bool failed = false;
  for (;;) {
    size_t len = 0;
    qor_line_result r = qor_read_line(file, line, kMaxLine, &len);
    if (r == QOR_LINE_EOF) break;
    if (r == QOR_LINE_ERROR) {
      failed = true;
      break;
    }
    if (r == QOR_LINE_MALFORMED) continue;
    const char* name;
    size_t name_len;
    int type;
    uint32_t dword = 0;
    const char* value;
    size_t value_len;
    if (!parse_line(line, len, &name, &name_len, &type, &dword, &value, &value_len)) continue;
    if (!qor_ascii_iequal_n(name, name_len, key, key_len)) continue;
    char* text = static_cast<char*>(qor_malloc(value_len + 1));
    if (text == nullptr) {
      failed = true;
      break;
    }
    std::memcpy(text, value, value_len);
    text[value_len] = '\0';
    qor_free(out->text);
    out->text = text;
    out->type = type;
    out->dword = dword;
    found = true;
  }
  qor_free(line);
  std::fclose(file);
  if (failed || !found) {
    qor_free(out->text);
    out->text = nullptr;
    return false;
  }
  return true;
}

// Expands %VAR% references from the environment the way ExpandEnvironmentStringsA does: an
// undefined variable stays as written, its closing '%' then starting the next reference; a '%'
// without a partner stays. Writes at most `size` bytes into `dst` and returns the size the whole
// result needs including its NUL (more than `size` means `dst` was too small), 0 on overflow.
uint32_t expand_environment(const char* src, char* dst, uint32_t size) {
  uint64_t need = 0;
  auto put = [&](const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i, ++need) {
      if (need < size) dst[need] = s[i];
    }
  };
  const char* p = src;
  while (*p != '\0') {
    if (*p != '%') {
      put(p, 1);
      ++p;
      continue;
    }
    const char* close = std::strchr(p + 1, '%');
    if (close == nullptr) {
      put(p, std::strlen(p));
      break;
    }
    size_t name_len = static_cast<size_t>(close - (p + 1));
    const char* value = nullptr;
    if (name_len > 0 && name_len < 1024) {
      char name[1024];
      std::memcpy(name, p + 1, name_len);
      name[name_len] = '\0';
      value = std::getenv(name);
    }
    if (value != nullptr) {
      put(value, std::strlen(value));
      p = close + 1;
    } else {
      put(p, name_len + 1);  // "%NAME"; the closing '%' is looked at again
      p = close;
    }
  }
  if (need < size) dst[need] = '\0';
  ++need;
  if (need > 0xFFFFFFFFu) return 0;
  return static_cast<uint32_t>(need);
}

// Decodes a multi_sz text into consecutive strings each ended by a NUL, the whole ended by an
// empty string, as the original platform hands list data over. `\,` is a comma and `\\` a
// backslash inside an element; blanks around an element are dropped. Null when memory is short.
char* decode_multi_sz(const char* text) {
  size_t len = std::strlen(text);
  char* data = static_cast<char*>(qor_malloc(len + 2));
  if (data == nullptr) return nullptr;
  if (len == 0) {
    data[0] = '\0';
    data[1] = '\0';
    return data;
  }
  size_t out = 0;
  size_t keep = 0;      // end of the element's last character that must be kept
  bool leading = true;  // still skipping blanks before the element
  for (size_t i = 0;; ++i) {
    char c = text[i];
    if (c == '\0' || c == ',') {
      out = keep;
      data[out++] = '\0';
      if (c == '\0') break;
      keep = out;
      leading = true;
      continue;
    }
    if (leading && qor_is_blank(c)) continue;
    leading = false;
    if (c == '\\' && (text[i + 1] == ',' || text[i + 1] == '\\')) {
      c = text[++i];
      data[out++] = c;
      keep = out;  // an escaped character is never trimmed
      continue;
    }
    data[out++] = c;
    if (!qor_is_blank(c)) keep = out;
  }
  data[out] = '\0';
  return data;
}

int lock_dir_system() {
  // Any account may take a guard: the directory is world-writable with the sticky bit, as
  // /run/lock itself is; mkdir's mode is cut by the umask, hence the chmod.
  if (mkdir(kSystemLockDir, 01777) == 0) chmod(kSystemLockDir, 01777);
  int fd = open(kSystemLockDir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  return fd;
}

int lock_dir_private() {
  const char* tmp = std::getenv("TMPDIR");
  if (tmp == nullptr || *tmp != '/') tmp = "/tmp";
  char path[PATH_MAX];
  int n = std::snprintf(path, sizeof path, "%s/qor-lock-%u", tmp, static_cast<unsigned>(geteuid()));
  if (n < 0 || static_cast<size_t>(n) >= sizeof path) return -1;
  mkdir(path, 0700);
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  // Someone else's directory in a shared /tmp could hand our guards to them.
  if (fstat(fd, &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The lock file's name: the value name with every byte outside [A-Za-z0-9_-] written as %XX,
// so that no name can climb out of the directory or collide with "." and "..".
bool lock_file_name(const char* name, char* out, size_t cap) {
  static const char hex[] = "0123456789ABCDEF";
  size_t n = 0;
  if (*name == '\0') return false;
  for (const char* p = name; *p != '\0'; ++p) {
    auto c = static_cast<unsigned char>(*p);
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                 c == '_' || c == '-';
    if (plain) {
      if (n + 1 >= cap) return false;
      out[n++] = static_cast<char>(c);
    } else {
      if (n + 3 >= cap) return false;
      out[n++] = '%';
      out[n++] = hex[c >> 4];
      out[n++] = hex[c & 15];
    }
  }
  out[n] = '\0';
  return true;
}

int open_lock_file(int dir, const char* file) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    // Open an existing file without O_CREAT: with fs.protected_regular an O_CREAT open of
    // another account's file in a sticky directory is refused even though it is 0666.
    int fd = openat(dir, file, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = openat(dir, file, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      fchmod(fd, 0666);
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

}  // namespace

int qor_setting_guard_take(const char* name) {
  char file[NAME_MAX + 1];
  if (name == nullptr || !lock_file_name(name, file, sizeof file)) return -1;
  int fd = -1;
  int dir = lock_dir_system();
  if (dir >= 0) {
    fd = open_lock_file(dir, file);
    close(dir);
  }
  if (fd < 0) {
    dir = lock_dir_private();
    if (dir < 0) return -1;
    fd = open_lock_file(dir, file);
    close(dir);
    if (fd < 0) return -1;
  }
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      close(fd);
      return -1;
    }
  }
  return fd;
}

void qor_setting_guard_release(int guard) {
  if (guard < 0) return;
  flock(guard, LOCK_UN);
  close(guard);
}

uint32_t NS__GetRegInt(const char* key, uint32_t defval) {
  int guard = qor_setting_guard_take(key);
  if (guard < 0) return defval;
  setting s;
  bool found = find_value(key, &s);
  qor_setting_guard_release(guard);
  uint32_t result = (found && s.type == kTypeDword) ? s.dword : defval;
  qor_free(s.text);
  return result;
}

char* NS__GetRegStr(const char* key, char* defval) {
  int guard = qor_setting_guard_take(key);
  if (guard < 0) return defval;
  setting s;
  if (!find_value(key, &s)) {
    qor_setting_guard_release(guard);
    return defval;
  }
  char* result = nullptr;
  if (s.type == kTypeSz) {
    result = s.text;  // already a fresh copy of the value
    s.text = nullptr;
  } else if (s.type == kTypeExpandSz) {
    // A first expansion into 256 bytes; only a longer result pays for a second
    // expansion into a buffer of its exact size.
    char* buf = static_cast<char*>(qor_malloc(kExpandFirst));
    uint32_t n = buf ? expand_environment(s.text, buf, kExpandFirst) : 0;
    if (n > kExpandFirst) {
      qor_free(buf);
      uint32_t size = n + 1;
      buf = static_cast<char*>(qor_malloc(size));
      n = buf ? expand_environment(s.text, buf, size) : 0;
      if (n > size) n = 0;  // the environment grew between the two expansions
    }
    if (n == 0) {
      qor_free(buf);
    } else {
      result = buf;
    }
  }
  qor_setting_guard_release(guard);
  qor_free(s.text);
  return result != nullptr ? result : defval;
}

char** NS__GetRegStrArray(const char* key, char** defval) {
  int guard = qor_setting_guard_take(key);
  if (guard < 0) return defval;
  setting s;
  bool found = find_value(key, &s);
  if (!found || s.type != kTypeMultiSz) {
    qor_setting_guard_release(guard);
    qor_free(s.text);
    return defval;
  }
  char* data = decode_multi_sz(s.text);
  qor_free(s.text);
  // The file has been read; the list is built without holding the guard.
  qor_setting_guard_release(guard);
  if (data == nullptr) return defval;
  if (data[0] == '\0') {
    qor_free(data);
    return nullptr;  // present but empty: the caller's order to use everything
  }

  size_t cap = kListStep;
  size_t count = 0;
  char** array = static_cast<char**>(qor_calloc(cap, sizeof(char*)));
  bool failed = array == nullptr;
  for (const char* p = data; !failed && *p != '\0'; p += std::strlen(p) + 1) {
    if (count + 1 >= cap) {
      char** grown = static_cast<char**>(qor_calloc(cap + kListStep, sizeof(char*)));
      if (grown == nullptr) {
        failed = true;
        break;
      }
      std::memcpy(grown, array, count * sizeof(char*));
      qor_free(array);
      array = grown;
      cap += kListStep;
    }
    char* copy = qor_strdup(p);
    if (copy == nullptr) {
      failed = true;
      break;
    }
    array[count++] = copy;
  }
  qor_free(data);
  if (failed) {
    for (size_t i = 0; i < count; ++i) qor_free(array[i]);
    qor_free(array);
    return defval;
  }
  array[count] = nullptr;
  return array;
}
