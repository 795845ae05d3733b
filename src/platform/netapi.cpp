#include "platform/netapi.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/memory.h"
#include "platform/textline.h"
#include "service/qorutil.h"

namespace {

constexpr const char* kSambaConfig = "/etc/samba/smb.conf";
constexpr const char* kDefaultLanGroup = "WORKGROUP";
constexpr size_t kMaxLine = 4096;
constexpr uint32_t kEnumMagic = 0x514f5245;  // "QORE": tells a live enumeration handle

// One record of the domain directory; `controller` is null for a workgroup. Returning non-zero
// stops the scan with that result.
using directory_fn = DWORD (*)(const char* name, const char* controller, void* priv);

// Reads the domain directory file and calls `fn` for each record in file order. A missing file
// holds no records.
DWORD scan_directory(directory_fn fn, void* priv) {
  static char default_path[] = "/etc/qor/domains";
  char* path = NS__GetRegStr("DomainDirectory", default_path);
  FILE* file = qor_open_text(path);
  int open_errno = errno;
  if (path != default_path) qor_free(path);
  if (file == nullptr) return open_errno == ENOENT ? NO_ERROR : ERROR_OPEN_FAILED;

  char* line = static_cast<char*>(qor_malloc(kMaxLine));
  if (line == nullptr) {
    std::fclose(file);
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  DWORD result = NO_ERROR;
  for (;;) {
    size_t len;
    qor_line_result r = qor_read_line(file, line, kMaxLine, &len);
    if (r == QOR_LINE_EOF) break;
    if (r == QOR_LINE_ERROR) {
      result = ERROR_OPEN_FAILED;
      break;
    }
    if (r == QOR_LINE_MALFORMED || !qor_utf8_valid(line, len)) continue;
    char* hash = std::strchr(line, '#');  // a comment runs to the end of the line
    if (hash != nullptr) *hash = '\0';
    char* fields[2];
    if (qor_split_fields(line, fields, 2) != 2) continue;
    const char* controller = std::strcmp(fields[1], "-") == 0 ? nullptr : fields[1];
    result = fn(fields[0], controller, priv);
    if (result != NO_ERROR) break;
  }
  qor_free(line);
  std::fclose(file);
  return result;
}

// Stops at the first record of the wanted name; `found` set, `controller` copied if any.
struct dc_search {
  const char* domain;
  bool found;
  char* controller;  // qor_malloc
};

constexpr DWORD kStopScan = 0xFFFFFFFF;

DWORD dc_search_fn(const char* name, const char* controller, void* priv) {
  auto* s = static_cast<dc_search*>(priv);
  if (!qor_ascii_iequal(name, s->domain)) return NO_ERROR;
  s->found = true;
  if (controller == nullptr) return kStopScan;
  s->controller = qor_strdup(controller);
  return s->controller == nullptr ? ERROR_NOT_ENOUGH_MEMORY : kStopScan;
}

// The setting `name` when present and not empty, else null.
char* nonempty_setting(const char* name) {
  char* value = NS__GetRegStr(name, nullptr);
  if (value != nullptr && *value == '\0') {
    qor_free(value);
    value = nullptr;
  }
  return value;
}

// The machine's LAN group as a new string; null when memory is short.
char* get_langroup() {
  char* group = nonempty_setting("LanGroup");
  if (group == nullptr) group = qor_smb_workgroup(kSambaConfig);
  if (group == nullptr) group = qor_strdup(kDefaultLanGroup);
  return group;
}

// The machine's name as a new string: the setting, else the host name as it stands.
char* get_computername() {
  char* name = nonempty_setting("ComputerName");
  if (name != nullptr) return name;
  char host[256];
  if (gethostname(host, sizeof host) != 0) host[0] = '\0';
  host[sizeof host - 1] = '\0';
  return qor_strdup(host);
}

struct wnet_enum {
  uint32_t magic;
  uint32_t count;
  uint32_t next;
  uint32_t cap;
  char** names;
};

DWORD collect_fn(const char* name, const char*, void* priv) {
  auto* e = static_cast<wnet_enum*>(priv);
  if (e->count == e->cap) {
    uint32_t cap = e->cap + 16;
    auto* grown = static_cast<char**>(qor_realloc(e->names, cap * sizeof(char*)));
    if (grown == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    e->names = grown;
    e->cap = cap;
  }
  char* copy = qor_strdup(name);
  if (copy == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  e->names[e->count++] = copy;
  return NO_ERROR;
}

void free_enum(wnet_enum* e) {
  for (uint32_t i = 0; i < e->count; ++i) qor_free(e->names[i]);
  qor_free(e->names);
  e->magic = 0;
  qor_free(e);
}

size_t record_size(const char* name) {
  return sizeof(NETRESOURCEA) + std::strlen(name) + 1 + std::strlen(QOR_NETWORK_PROVIDER) + 1;
}

char* put_string(char** cursor, const char* s) {
  size_t n = std::strlen(s) + 1;
  char* at = *cursor;
  std::memcpy(at, s, n);
  *cursor += n;
  return at;
}

}  // namespace

char* qor_smb_workgroup(const char* path) {
  FILE* file = qor_open_text(path);
  if (file == nullptr) return nullptr;
  char* line = static_cast<char*>(qor_malloc(kMaxLine));
  if (line == nullptr) {
    std::fclose(file);
    return nullptr;
  }
  char* result = nullptr;
  bool global = true;  // parameters before the first section are global
  size_t len;
  qor_line_result r;
  while ((r = qor_read_line(file, line, kMaxLine, &len)) != QOR_LINE_EOF && r != QOR_LINE_ERROR) {
    if (r != QOR_LINE_OK) continue;
    char* p = line;
    while (qor_is_blank(*p)) ++p;
    if (*p == '#' || *p == ';' || *p == '\0') continue;
    char* end = p + std::strlen(p);
    while (end > p && qor_is_blank(end[-1])) --end;
    *end = '\0';
    if (*p == '[') {
      char* close = std::strchr(p, ']');
      if (close == nullptr) continue;
      char* sb = p + 1;
      while (qor_is_blank(*sb)) ++sb;
      char* se = close;
      while (se > sb && qor_is_blank(se[-1])) --se;
      global = qor_ascii_iequal_n(sb, static_cast<size_t>(se - sb), "global", 6);
      continue;
    }
    char* eq = std::strchr(p, '=');
    if (!global || eq == nullptr) continue;
    char* ke = eq;
    while (ke > p && qor_is_blank(ke[-1])) --ke;
    if (!qor_ascii_iequal_n(p, static_cast<size_t>(ke - p), "workgroup", 9)) continue;
    char* v = eq + 1;
    while (qor_is_blank(*v)) ++v;
    if (*v == '\0' || !qor_utf8_valid(v, std::strlen(v))) continue;
    char* copy = qor_strdup(v);
    if (copy == nullptr) {
      qor_free(result);
      result = nullptr;
      break;
    }
    qor_free(result);  // as in Samba, a later definition replaces an earlier one
    result = copy;
  }
  qor_free(line);
  std::fclose(file);
  return result;
}

NET_API_STATUS NetWkstaGetInfo(const char* servername, DWORD level, LPBYTE* bufptr) {
  if (bufptr == nullptr) return ERROR_INVALID_PARAMETER;
  *bufptr = nullptr;
  if (servername != nullptr && *servername != '\0') return ERROR_NOT_SUPPORTED;
  if (level != 101) return ERROR_INVALID_LEVEL;

  char* computer = get_computername();
  char* group = get_langroup();
  NET_API_STATUS status = ERROR_NOT_ENOUGH_MEMORY;
  if (computer != nullptr && group != nullptr) {
    size_t size = sizeof(WKSTA_INFO_101) + std::strlen(computer) + 1 + std::strlen(group) + 1 + 1;
    auto* info = static_cast<WKSTA_INFO_101*>(qor_malloc(size));
    if (info != nullptr) {
      // One block, so that NetApiBufferFree releases everything at once.
      char* cursor = reinterpret_cast<char*>(info + 1);
      info->wki101_platform_id = PLATFORM_ID_NT;
      info->wki101_computername = put_string(&cursor, computer);
      info->wki101_langroup = put_string(&cursor, group);
      info->wki101_ver_major = 4;
      info->wki101_ver_minor = 0;
      info->wki101_lanroot = put_string(&cursor, "");
      *bufptr = reinterpret_cast<LPBYTE>(info);
      status = NERR_Success;
    }
  }
  qor_free(group);
  qor_free(computer);
  return status;
}

NET_API_STATUS NetGetDCName(const char* servername, const char* domainname, LPBYTE* bufptr) {
  if (bufptr == nullptr) return ERROR_INVALID_PARAMETER;
  *bufptr = nullptr;
  if (servername != nullptr && *servername != '\0') return ERROR_NOT_SUPPORTED;

  char* own = nullptr;
  if (domainname == nullptr || *domainname == '\0') {
    own = get_langroup();
    if (own == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    domainname = own;
  }
  dc_search search{domainname, false, nullptr};
  DWORD scan = scan_directory(dc_search_fn, &search);
  qor_free(own);
  NET_API_STATUS status;
  if (scan != NO_ERROR && scan != kStopScan) {
    status = scan;
  } else if (search.controller == nullptr) {
    status = NERR_DCNotFound;  // a workgroup, or not in the directory at all
  } else {
    size_t n = std::strlen(search.controller);
    char* answer = static_cast<char*>(qor_malloc(n + 3));
    if (answer == nullptr) {
      status = ERROR_NOT_ENOUGH_MEMORY;
    } else {
      answer[0] = '\\';
      answer[1] = '\\';
      std::memcpy(answer + 2, search.controller, n + 1);
      *bufptr = reinterpret_cast<LPBYTE>(answer);
      status = NERR_Success;
    }
  }
  qor_free(search.controller);
  return status;
}

NET_API_STATUS NetApiBufferFree(void* buffer) {
  qor_free(buffer);
  return NERR_Success;
}

DWORD WNetOpenEnumA(DWORD dwScope, DWORD, DWORD, const NETRESOURCEA* lpNetResource,
                    HANDLE* lphEnum) {
  if (lphEnum == nullptr) return ERROR_INVALID_PARAMETER;
  *lphEnum = nullptr;
  if (dwScope != RESOURCE_GLOBALNET && dwScope != RESOURCE_CONNECTED &&
      dwScope != RESOURCE_REMEMBERED) {
    return ERROR_INVALID_PARAMETER;
  }
  if (lpNetResource != nullptr) {
    if (lpNetResource->lpProvider != nullptr &&
        std::strcmp(lpNetResource->lpProvider, QOR_NETWORK_PROVIDER) != 0) {
      return ERROR_BAD_PROVIDER;
    }
    // The servers of one domain are not known here.
    if (lpNetResource->lpRemoteName != nullptr) return ERROR_NOT_SUPPORTED;
  }
  auto* e = static_cast<wnet_enum*>(qor_calloc(1, sizeof(wnet_enum)));
  if (e == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  e->magic = kEnumMagic;
  if (dwScope == RESOURCE_GLOBALNET) {
    DWORD status = scan_directory(collect_fn, e);
    if (status != NO_ERROR) {
      free_enum(e);
      return status;
    }
  }
  *lphEnum = e;
  return NO_ERROR;
}

DWORD WNetEnumResourceA(HANDLE hEnum, DWORD* lpcCount, void* lpBuffer, DWORD* lpBufferSize) {
  auto* e = static_cast<wnet_enum*>(hEnum);
  if (e == nullptr || e->magic != kEnumMagic) return ERROR_INVALID_HANDLE;
  if (lpcCount == nullptr || lpBufferSize == nullptr ||
      (lpBuffer == nullptr && *lpBufferSize != 0) ||
      reinterpret_cast<uintptr_t>(lpBuffer) % alignof(NETRESOURCEA) != 0) {
    return ERROR_INVALID_PARAMETER;
  }
  if (e->next >= e->count) {
    *lpcCount = 0;
    return ERROR_NO_MORE_ITEMS;
  }
  DWORD want = *lpcCount == 0 ? 0xFFFFFFFF : *lpcCount;
  size_t size = *lpBufferSize;
  size_t total = 0;
  uint32_t k = 0;
  while (k < want && e->next + k < e->count) {
    size_t s = record_size(e->names[e->next + k]);
    if (total + s > size) break;
    total += s;
    ++k;
  }
  if (k == 0) {
    *lpBufferSize = static_cast<DWORD>(record_size(e->names[e->next]));
    return ERROR_MORE_DATA;
  }
  auto* records = static_cast<NETRESOURCEA*>(lpBuffer);
  char* cursor = reinterpret_cast<char*>(records + k);
  for (uint32_t i = 0; i < k; ++i) {
    NETRESOURCEA& r = records[i];
    r.dwScope = RESOURCE_GLOBALNET;
    r.dwType = RESOURCETYPE_ANY;
    r.dwDisplayType = RESOURCEDISPLAYTYPE_DOMAIN;
    r.dwUsage = RESOURCEUSAGE_CONTAINER;
    r.lpLocalName = nullptr;
    r.lpComment = nullptr;
    r.lpRemoteName = put_string(&cursor, e->names[e->next + i]);
    r.lpProvider = put_string(&cursor, QOR_NETWORK_PROVIDER);
  }
  e->next += k;
  *lpcCount = k;
  return NO_ERROR;
}

DWORD WNetCloseEnum(HANDLE hEnum) {
  auto* e = static_cast<wnet_enum*>(hEnum);
  if (e == nullptr || e->magic != kEnumMagic) return ERROR_INVALID_HANDLE;
  free_enum(e);
  return NO_ERROR;
}
