// The name-service folder: one file per (entry, interface) holding its string
// bindings (doc/rpc_ns_folder.md).
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/memory.h"
#include "platform/rpc/rpc_ns_store.h"
#include "platform/textline.h"
#include "service/qorutil.h"

namespace {

constexpr const char* DEFAULT_FOLDER = "/var/lib/qor/rpcns";
constexpr const char* LOCK_NAME = ".lock";
constexpr const char* TMP_SUFFIX = ".tmp";
// Longest file name we make, leaving room for TMP_SUFFIX within NAME_MAX.
constexpr size_t MAX_FILE_NAME = 240;
// An entry file larger than this is not one of ours: the entry is unreadable.
constexpr off_t MAX_FILE_SIZE = 1 << 20;
// A line longer than this (terminator included) is passed over like one
// that does not parse.
constexpr size_t MAX_LINE = 4096;
constexpr const char* BINDING_TAG = "binding ";

// The folder named by RpcNsDirectory; an empty value names the default.
std::string folder() {
  char* value = NS__GetRegStr("RpcNsDirectory", const_cast<char*>(DEFAULT_FOLDER));
  std::string dir = value;
  if (value != DEFAULT_FOLDER) qor_free(value);
  return dir.empty() ? DEFAULT_FOLDER : dir;
}

// The entry's file name: its name after "/.../" with every byte other than a
// letter, digit, '-' or '_' written as %XX (so '/' and '.' cannot make a path
// or a hidden name, and distinct names stay distinct), then the interface
// UUID and major version. False when it would be too long.
bool file_name(const rpc_ns_key& key, std::string* out) {
  static const char hex[] = "0123456789ABCDEF";
  out->clear();
  for (const char* p = key.entry + strlen("/.../"); *p != '\0'; ++p) {
    unsigned char ch = static_cast<unsigned char>(*p);
    if ((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
        ch == '-' || ch == '_') {
      out->push_back(static_cast<char>(ch));
    } else {
      out->push_back('%');
      out->push_back(hex[ch >> 4]);
      out->push_back(hex[ch & 15]);
    }
  }
  char uuid[37];
  rpc_uuid_format(key.iface.uuid, uuid);
  char tail[64];
  snprintf(tail, sizeof tail, ",%s,%u", uuid, key.iface.major);
  *out += tail;
  return out->size() <= MAX_FILE_NAME;
}

// One binding line: the interface minor version it was exported with, and the
// string binding.
struct ns_line {
  unsigned minor;
  std::string binding;
};

// Reads an entry file. RPC_S_OK with its binding lines (none when the file
// does not exist); 1762 when it cannot be read or is too large. Lines other
// than binding lines, and binding lines that do not parse, are passed over.
// The file is replaced whole, never changed in place, so what one open
// reads is one snapshot.
RPC_STATUS read_entry(const std::string& path, std::vector<ns_line>* lines) {
  lines->clear();
  FILE* file = std::fopen(path.c_str(), "re");
  if (file == nullptr) return errno == ENOENT ? RPC_S_OK : RPC_S_NAME_SERVICE_UNAVAILABLE;
  struct stat st;
  bool ok = fstat(fileno(file), &st) == 0 && st.st_size <= MAX_FILE_SIZE;
  size_t tag = strlen(BINDING_TAG);
  char line[MAX_LINE];
  size_t len;
  qor_line_result r;
  while (ok && (r = qor_read_line(file, line, sizeof line, &len)) != QOR_LINE_EOF) {
    ok = r != QOR_LINE_ERROR;
    if (r != QOR_LINE_OK || strncmp(line, BINDING_TAG, tag) != 0) continue;
    char* rest;
    unsigned long minor = strtoul(line + tag, &rest, 10);
    if (rest == line + tag || *rest != ' ' || rest[1] == '\0' || minor > 0xFFFF) continue;
    lines->push_back({static_cast<unsigned>(minor), rest + 1});
  }
  std::fclose(file);
  if (ok) return RPC_S_OK;
  lines->clear();
  return RPC_S_NAME_SERVICE_UNAVAILABLE;
}

int write_all(int fd, const std::string& text) {
  for (size_t off = 0; off < text.size();) {
    ssize_t n = write(fd, text.data() + off, text.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    off += static_cast<size_t>(n);
  }
  return 0;
}

int fsync_dir(const std::string& dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  int r = fsync(fd);
  close(fd);
  return r;
}

// Replaces the entry file with `lines`, or removes it when there are none.
// The new file is written beside it, synced, and renamed over it, so that a
// reader sees either the old file or the new one, and a crash leaves one of
// them; the folder is synced so that the rename itself survives a crash.
// REQUIRES the folder lock.
RPC_STATUS write_entry(const std::string& dir, const std::string& name, const rpc_ns_key& key,
                       const std::vector<ns_line>& lines) {
  std::string path = dir + "/" + name;
  if (lines.empty()) {
    if (unlink(path.c_str()) != 0 && errno != ENOENT) return RPC_S_NAME_SERVICE_UNAVAILABLE;
    fsync_dir(dir);
    return RPC_S_OK;
  }
  char uuid[37];
  rpc_uuid_format(key.iface.uuid, uuid);
  std::string text = "# qor RPC name-service entry\nentry ";
  text += key.entry;
  text += "\ninterface ";
  text += uuid;
  text += ' ';
  text += std::to_string(key.iface.major);
  for (const ns_line& l : lines) {
    text += '\n';
    text += BINDING_TAG;
    text += std::to_string(l.minor);
    text += ' ';
    text += l.binding;
  }
  text += '\n';
  std::string tmp = path + TMP_SUFFIX;
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return RPC_S_NAME_SERVICE_UNAVAILABLE;
  bool ok = write_all(fd, text) == 0 && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    return RPC_S_NAME_SERVICE_UNAVAILABLE;
  }
  fsync_dir(dir);
  return RPC_S_OK;
}

// Creates the folder and its missing parents.
void make_folder(const std::string& dir) {
  for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
    mkdir(dir.substr(0, slash).c_str(), 0755);
    if (slash == std::string::npos) return;
  }
}

// The folder's lock, held from construction (when `fd` >= 0) to destruction.
// A read-only descriptor is enough for flock, so that accounts that may not
// write the lock file can still take it.
struct folder_lock {
  int fd;
  explicit folder_lock(const std::string& dir) {
    fd = open((dir + "/" + LOCK_NAME).c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    while (fd >= 0 && flock(fd, LOCK_EX) != 0) {
      if (errno != EINTR) {
        close(fd);
        fd = -1;
      }
    }
  }
  ~folder_lock() {
    if (fd >= 0) close(fd);  // closing gives the lock back
  }
  folder_lock(const folder_lock&) = delete;
  folder_lock& operator=(const folder_lock&) = delete;
};

// Read, change and replace an entry file under the folder lock. `change`
// edits the lines, sets *changed when it did, and returns its status.
template <typename Change>
RPC_STATUS change_entry(const rpc_ns_key& key, bool create, Change change) {
  std::string dir = folder();
  std::string name;
  if (!file_name(key, &name)) return RPC_S_STRING_TOO_LONG;
  if (create) make_folder(dir);
  folder_lock lock(dir);
  if (lock.fd < 0) return RPC_S_NAME_SERVICE_UNAVAILABLE;
  std::vector<ns_line> lines;
  RPC_STATUS st = read_entry(dir + "/" + name, &lines);
  if (st != RPC_S_OK) return st;
  bool changed = false;
  st = change(&lines, &changed);
  if (st != RPC_S_OK || !changed) return st;
  return write_entry(dir, name, key, lines);
}

}  // namespace

RPC_STATUS rpc_ns_store_add(const rpc_ns_key& key, const std::vector<std::string>& bindings) {
  return change_entry(key, true, [&](std::vector<ns_line>* lines, bool* changed) {
    for (const std::string& b : bindings) {
      ns_line* held = nullptr;
      for (ns_line& l : *lines) {
        if (l.binding == b) held = &l;
      }
      if (held == nullptr) {
        lines->push_back({key.iface.minor, b});
      } else if (held->minor != key.iface.minor) {
        held->minor = key.iface.minor;
      } else {
        continue;
      }
      *changed = true;
    }
    return RPC_S_OK;
  });
}

RPC_STATUS rpc_ns_store_remove(const rpc_ns_key& key) {
  return change_entry(key, false, [](std::vector<ns_line>* lines, bool* changed) {
    if (lines->empty()) return RPC_S_INTERFACE_NOT_FOUND;
    lines->clear();
    *changed = true;
    return RPC_S_OK;
  });
}

RPC_STATUS rpc_ns_store_read(const rpc_ns_key& key, std::vector<std::string>* bindings) {
  bindings->clear();
  std::string dir = folder();
  if (access(dir.c_str(), R_OK | X_OK) != 0) return RPC_S_NAME_SERVICE_UNAVAILABLE;
  std::string name;
  // A name too long for a file can have been exported by nobody.
  if (!file_name(key, &name)) return RPC_S_OK;
  std::vector<ns_line> lines;
  RPC_STATUS st = read_entry(dir + "/" + name, &lines);
  for (const ns_line& l : lines) {
    if (l.minor >= key.iface.minor) bindings->push_back(l.binding);
  }
  return st;
}
