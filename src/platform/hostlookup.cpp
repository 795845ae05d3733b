#include "platform/hostlookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/memory.h"
#include "platform/textline.h"
#include "service/qorutil.h"

namespace {

constexpr size_t kMaxLine = 4096;
constexpr size_t kMaxFields = 64;

// An answer as it is gathered, before it becomes one block.
struct host_answer {
  char name[NI_MAXHOST];
  uint32_t naddrs;
  in_addr addrs[QOR_HOST_MAX_ADDRS];
};

// A name too long to be a host's (far above DNS's 253) leaves the name empty.
bool set_name(host_answer* a, const char* name) {
  size_t n = std::strlen(name);
  a->name[0] = '\0';
  if (n >= sizeof a->name) return false;
  std::memcpy(a->name, name, n + 1);
  return true;
}

void add_addr(host_answer* a, in_addr addr) {
  for (uint32_t i = 0; i < a->naddrs; ++i) {
    if (a->addrs[i].s_addr == addr.s_addr) return;
  }
  if (a->naddrs < QOR_HOST_MAX_ADDRS) a->addrs[a->naddrs++] = addr;
}

int make_entry(const host_answer& a, qor_hostent** out) {
  size_t name_len = std::strlen(a.name) + 1;
  size_t size = sizeof(qor_hostent) + a.naddrs * sizeof(in_addr) + name_len;
  auto* e = static_cast<qor_hostent*>(qor_malloc(size));
  if (e == nullptr) return WSA_NOT_ENOUGH_MEMORY;
  e->addrtype = AF_INET;
  e->length = 4;
  e->naddrs = a.naddrs;
  e->addrs = reinterpret_cast<in_addr*>(e + 1);
  std::memcpy(e->addrs, a.addrs, a.naddrs * sizeof(in_addr));
  e->name = reinterpret_cast<char*>(e->addrs + a.naddrs);
  std::memcpy(e->name, a.name, name_len);
  *out = e;
  return QOR_HOST_OK;
}

// The hosts file's path, a new string, or null when the setting is absent or empty.
char* hosts_file() {
  char* path = NS__GetRegStr("HostsFile", nullptr);
  if (path != nullptr && *path == '\0') {
    qor_free(path);
    path = nullptr;
  }
  return path;
}

// One hosts-file line, comment cut off, split into fields. False for a line without an IPv4
// address and at least one name (blank lines, IPv6 lines, malformed lines).
bool parse_hosts_line(char* line, in_addr* addr, char** fields, size_t* nfields) {
  char* hash = std::strchr(line, '#');
  if (hash != nullptr) *hash = '\0';
  size_t n = qor_split_fields(line, fields, kMaxFields);
  if (n > kMaxFields) n = kMaxFields;  // names past the last field kept are ignored
  if (n < 2 || inet_pton(AF_INET, fields[0], addr) != 1) return false;
  *nfields = n;
  return true;
}

// Calls `fn` for every address line of the hosts file until it returns true.
template <typename Fn>
void scan_hosts(const char* path, Fn fn) {
  FILE* file = qor_open_text(path);
  if (file == nullptr) return;
  char line[kMaxLine];
  char* fields[kMaxFields];
  size_t len;
  qor_line_result r;
  while ((r = qor_read_line(file, line, sizeof line, &len)) != QOR_LINE_EOF &&
         r != QOR_LINE_ERROR) {
    in_addr addr;
    size_t n;
    if (r != QOR_LINE_OK || !parse_hosts_line(line, &addr, fields, &n)) continue;
    if (fn(addr, fields + 1, n - 1)) break;
  }
  std::fclose(file);
}

// True when the hosts file names `name`: every address listed for it, the canonical name of its
// first line.
bool hosts_by_name(const char* path, const char* name, host_answer* a) {
  a->naddrs = 0;
  bool named = false;
  scan_hosts(path, [&](in_addr addr, char** names, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      if (!qor_ascii_iequal(names[i], name)) continue;
      if (!named) set_name(a, names[0]);
      named = true;
      add_addr(a, addr);
      break;
    }
    return false;
  });
  return named;
}

// True when the hosts file names `addr`: the canonical name of its first line and every
// address listed for that name.
bool hosts_by_addr(const char* path, in_addr addr, host_answer* a) {
  char canonical[NI_MAXHOST];
  bool named = false;
  scan_hosts(path, [&](in_addr line_addr, char** names, size_t) {
    if (line_addr.s_addr != addr.s_addr || std::strlen(names[0]) >= sizeof canonical) return false;
    std::strcpy(canonical, names[0]);
    named = true;
    return true;
  });
  if (!named || !hosts_by_name(path, canonical, a)) return false;
  set_name(a, canonical);  // fits: `canonical` has the same size
  return true;
}

int from_gai_error(int error) {
  switch (error) {
    case EAI_NONAME:
      return WSAHOST_NOT_FOUND;
#ifdef EAI_NODATA
    case EAI_NODATA:
      return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
      return WSANO_DATA;
#endif
    case EAI_AGAIN:
      return WSATRY_AGAIN;
    case EAI_MEMORY:
      return WSA_NOT_ENOUGH_MEMORY;
    default:
      return WSANO_RECOVERY;
  }
}

// The system resolver's addresses of `name`, added to `a`; the canonical name set when
// `set_canonical`.
int resolve_name(const char* name, host_answer* a, bool set_canonical) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;  // one answer per address, not one per socket type
  hints.ai_flags = AI_CANONNAME;
  addrinfo* res = nullptr;
  int error = getaddrinfo(name, nullptr, &hints, &res);
  if (error != 0) return from_gai_error(error);
  if (set_canonical) {
    const char* canon = res->ai_canonname;
    if (canon == nullptr || *canon == '\0' || !set_name(a, canon)) set_name(a, name);
  }
  for (addrinfo* ai = res; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET || ai->ai_addrlen < sizeof(sockaddr_in)) continue;
    add_addr(a, reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr);
  }
  freeaddrinfo(res);
  return a->naddrs == 0 ? WSANO_DATA : QOR_HOST_OK;
}

// Decimal, 0-octal or 0x-hexadecimal number of an inet_addr part; false if malformed or above
// 0xFFFFFFFF.
bool parse_part(const char* s, size_t len, uint32_t* out) {
  if (len == 0) return false;
  unsigned base = 10;
  size_t i = 0;
  if (len >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    i = 2;
    if (len == 2) return false;
  } else if (len >= 2 && s[0] == '0') {
    base = 8;
    i = 1;
  }
  uint64_t v = 0;
  for (; i < len; ++i) {
    char c = s[i];
    unsigned d;
    if (c >= '0' && c <= '9') {
      d = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      d = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      d = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
    if (d >= base) return false;
    v = v * base + d;
    if (v > 0xFFFFFFFFu) return false;
  }
  *out = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

bool qor_inet_addr(const char* text, in_addr* out) {
  if (text == nullptr) return false;
  uint32_t parts[4];
  size_t n = 0;
  const char* p = text;
  for (;;) {
    const char* dot = std::strchr(p, '.');
    size_t len = dot ? static_cast<size_t>(dot - p) : std::strlen(p);
    if (n == 4 || !parse_part(p, len, &parts[n])) return false;
    ++n;
    if (dot == nullptr) break;
    p = dot + 1;
  }
  // The last part fills the bytes the earlier parts leave.
  static constexpr uint32_t kLastMax[4] = {0xFFFFFFFFu, 0xFFFFFFu, 0xFFFFu, 0xFFu};
  uint32_t value = 0;
  for (size_t i = 0; i + 1 < n; ++i) {
    if (parts[i] > 0xFF) return false;
    value |= parts[i] << (24 - 8 * i);
  }
  if (parts[n - 1] > kLastMax[n - 1]) return false;
  value |= parts[n - 1];
  if (out != nullptr) out->s_addr = htonl(value);
  return true;
}

char* qor_inet_ntoa(in_addr addr, char* buf) {
  uint32_t v = ntohl(addr.s_addr);
  std::snprintf(buf, 16, "%u.%u.%u.%u", v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
  return buf;
}

int qor_host_by_name(const char* name, qor_hostent** out) {
  if (out == nullptr) return WSAEINVAL;
  *out = nullptr;
  if (name == nullptr) return WSAEINVAL;
  // An empty name is this machine, as gethostbyname has it.
  char local[256];
  if (*name == '\0') {
    if (gethostname(local, sizeof local) != 0) return WSANO_RECOVERY;
    local[sizeof local - 1] = '\0';
    name = local;
  }
  host_answer a;
  a.naddrs = 0;
  char* path = hosts_file();
  bool named = path != nullptr && hosts_by_name(path, name, &a);
  qor_free(path);
  if (!named) {
    int status = resolve_name(name, &a, true);
    if (status != QOR_HOST_OK) return status;
  }
  return make_entry(a, out);
}

int qor_host_by_addr(in_addr addr, qor_hostent** out) {
  if (out == nullptr) return WSAEINVAL;
  *out = nullptr;
  host_answer a;
  a.naddrs = 0;
  char* path = hosts_file();
  bool named = path != nullptr && hosts_by_addr(path, addr, &a);
  qor_free(path);
  if (!named) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr = addr;
    int error = getnameinfo(reinterpret_cast<const sockaddr*>(&sin), sizeof sin, a.name,
                            sizeof a.name, nullptr, 0, NI_NAMEREQD);
    if (error != 0) return from_gai_error(error);
    // The resolver names the address; its forward lookup widens the answer to every address of
    // that host. The address asked for stays first, even if the forward lookup misses it.
    add_addr(&a, addr);
    host_answer forward;
    forward.naddrs = 0;
    if (resolve_name(a.name, &forward, false) == QOR_HOST_OK) {
      for (uint32_t i = 0; i < forward.naddrs; ++i) add_addr(&a, forward.addrs[i]);
    }
  }
  return make_entry(a, out);
}

void qor_host_free(qor_hostent* entry) { qor_free(entry); }
