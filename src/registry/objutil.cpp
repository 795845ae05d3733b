#include "registry/objutil.h"

#include <climits>
#include <cstring>

#include "platform/fileops.h"
#include "platform/hostlookup.h"
#include "platform/mbstring.h"
#include "platform/memory.h"
#include "platform/rpc/string_binding.h"
#include "registry/status.h"

namespace {

// In number order; the index is the class number.
constexpr const char* kClassNames[NS_CLASS_COUNT] = {
    "lp",    "pp",   "any-prn", "spooler", "superv", "any-svr",
    "queue", "ntfy", "group",   "backup",  "none",
};

}  // namespace

int NS__StrToClass(const char* buf, int* nsclass) {
  if (buf == nullptr) return NS_S_NOCLASS;
  for (int i = 0; i < NS_CLASS_COUNT; ++i) {
    if (std::strcmp(buf, kClassNames[i]) == 0) {
      *nsclass = i;
      return NS_S_OK;
    }
  }
  return NS_S_NOCLASS;
}

const char* NS__ClassToStr(int nsclass) {
  if (nsclass < 0 || nsclass >= NS_CLASS_COUNT) return nullptr;
  return kClassNames[nsclass];
}

// ---- Copies ----

int NS__copy_qorobjid(qorobjid* dest, const qorobjid* src) {
  dest->nsclass = src->nsclass;
  dest->name = nullptr;
  dest->domain = nullptr;
  if (src->name != nullptr) {
    dest->name = qor_strdup(src->name);
    if (dest->name == nullptr) return NS_S_NOMEM;
  }
  if (src->domain != nullptr) {
    dest->domain = qor_strdup(src->domain);
    if (dest->domain == nullptr) {
      qor_free(dest->name);
      dest->name = nullptr;
      return NS_S_NOMEM;
    }
  }
  return NS_S_OK;
}

int NS__copy_qorobjects(qorobjects* dest, const qorobjects* src) {
  dest->len = 0;
  dest->val = nullptr;
  if (src->len == 0) return NS_S_OK;
  if (src->len < 0) return NS_S_NODATA;
  auto* val = static_cast<qorobjid*>(qor_calloc(static_cast<size_t>(src->len), sizeof(qorobjid)));
  if (val == nullptr) return NS_S_NOMEM;
  for (int32_t i = 0; i < src->len; ++i) {
    int rc = NS__copy_qorobjid(&val[i], &src->val[i]);
    if (rc != NS_S_OK) {
      while (i-- > 0) NS__free_qorobjid(&val[i]);
      qor_free(val);
      return rc;
    }
  }
  dest->val = val;
  dest->len = src->len;
  return NS_S_OK;
}

int NS__copy_rpcbinding(rpcbinding* dest, const rpcbinding* src) {
  dest->len = 0;
  dest->val = nullptr;
  if (src->len == 0) return NS_S_OK;
  if (src->len < 0) return NS_S_NODATA;
  // The wire lets an element be a null pointer; such a list names a way to the
  // server that does not exist, so it is refused whole rather than shortened.
  for (int32_t i = 0; i < src->len; ++i) {
    if (src->val[i] == nullptr) return NS_S_NODATA;
  }
  auto* val = static_cast<char**>(qor_calloc(static_cast<size_t>(src->len), sizeof(char*)));
  if (val == nullptr) return NS_S_NOMEM;
  for (int32_t i = 0; i < src->len; ++i) {
    val[i] = qor_strdup(src->val[i]);
    if (val[i] == nullptr) {
      while (i-- > 0) qor_free(val[i]);
      qor_free(val);
      return NS_S_NOMEM;
    }
  }
  dest->val = val;
  dest->len = src->len;
  return NS_S_OK;
}

int NS__copy_qor_serverinfo(qor_serverinfo* dest, const qor_serverinfo* src) {
  dest->support_auth = src->support_auth;
  dest->host = nullptr;
  int rc = NS__copy_rpcbinding(&dest->binding, &src->binding);
  if (rc != NS_S_OK) return rc;
  if (src->host == nullptr) return NS_S_OK;
  dest->host = qor_strdup(src->host);
  if (dest->host == nullptr) {
    NS__free_rpcbinding(&dest->binding);
    dest->binding.len = 0;
    dest->binding.val = nullptr;
    dest->support_auth = 0;
    return NS_S_NOMEM;
  }
  return NS_S_OK;
}

// ---- Releases ----

void NS__free_qorobjid(qorobjid* obj) {
  if (obj->name != nullptr) qor_free(obj->name);
  if (obj->domain != nullptr) qor_free(obj->domain);
}

void NS__free_qorobjects(qorobjects* obj) {
  if (obj->len <= 0) return;
  for (int32_t i = 0; i < obj->len; ++i) NS__free_qorobjid(&obj->val[i]);
  qor_free(obj->val);
}

void NS__free_rpcbinding(rpcbinding* obj) {
  if (obj->len <= 0) return;
  for (int32_t i = 0; i < obj->len; ++i) {
    if (obj->val[i] != nullptr) qor_free(obj->val[i]);
  }
  qor_free(obj->val);
}

void NS__free_qor_serverinfo(qor_serverinfo* obj) {
  if (obj->host != nullptr) qor_free(obj->host);
  NS__free_rpcbinding(&obj->binding);
}

// ---- Text form: lines ----

namespace {

constexpr size_t kLineStep = 128;
// A list read from a file starts with room for this many elements and doubles
// up to its announced count as elements actually arrive, so that a corrupt
// count cannot make us allocate more than the file holds.
constexpr int32_t kFirstListChunk = 64;

bool insignificant(const char* line) { return line[0] == '\0' || line[0] == '#'; }

int grow_line(char** buf, size_t* size) {
  auto* bigger = static_cast<char*>(qor_realloc(*buf, *size + kLineStep));
  if (bigger == nullptr) return NS_S_NOMEM;
  *buf = bigger;
  *size += kLineStep;
  return NS_S_OK;
}

// One physical line, whole, without its LF or CRLF.
int read_eachline(char** buf, size_t* size, FILE* fp) {
  if (*size == 0) {
    auto* first = static_cast<char*>(qor_malloc(kLineStep));
    if (first == nullptr) return NS_S_NOMEM;
    *buf = first;
    *size = kLineStep;
  }
  int rc = NS_S_OK;
  size_t len = 0;
  flockfile(fp);
  for (;;) {
    int ch = getc_unlocked(fp);
    if (ch == EOF) {
      if (ferror(fp)) {
        rc = NS_S_SYSFAIL;
      } else if (len == 0) {
        rc = NS_S_EOF;
      }
      break;  // else a last line without a line end
    }
    if (ch == '\n') break;
    if (ch == '\0') {
      rc = NS_S_SYSFAIL;  // no text file of ours holds one
      break;
    }
    if (len + 1 >= *size) {
      rc = grow_line(buf, size);
      if (rc != NS_S_OK) break;
    }
    (*buf)[len++] = static_cast<char>(ch);
  }
  funlockfile(fp);
  if (rc != NS_S_OK) return rc;
  // Files carried over from Windows end their lines with CRLF. Every CR before the LF goes: a
  // value ending in one could not be written back with LF line ends and read again unchanged.
  while (len > 0 && (*buf)[len - 1] == '\r') --len;
  (*buf)[len] = '\0';
  return NS_S_OK;
}

// The number at the start of a line as atoi reads it: leading blanks, an
// optional sign, digits; the rest is ignored. False if there are no digits.
// Values beyond the int32 range are clamped to it.
bool parse_number(const char* s, int32_t* out) {
  while (*s == ' ' || *s == '\t' || *s == '\v' || *s == '\f' || *s == '\r' || *s == '\n') ++s;
  bool negative = false;
  if (*s == '+' || *s == '-') negative = *s++ == '-';
  if (*s < '0' || *s > '9') return false;
  long long v = 0;
  for (; *s >= '0' && *s <= '9'; ++s) {
    if (v <= INT32_MAX) v = v * 10 + (*s - '0');
  }
  if (negative) v = -v;
  if (v > INT32_MAX) v = INT32_MAX;
  if (v < INT32_MIN) v = INT32_MIN;
  *out = static_cast<int32_t>(v);
  return true;
}

// The count line of a list: 0 with a positive count, 19 for anything else, or
// the line reader's status.
int read_count(FILE* fp, char** buf, size_t* size, int32_t* count) {
  int rc = NS__ReadLine(buf, size, fp);
  if (rc != NS_S_OK) return rc;
  if (!parse_number(*buf, count) || *count <= 0) return NS_S_SYSFAIL;
  return NS_S_OK;
}

// Makes room for element `i` of a list being read; new slots are zeroed.
int ensure_slot(void** val, int32_t* cap, int32_t i, int32_t count, size_t elem) {
  if (i < *cap) return NS_S_OK;
  int32_t next = *cap > count / 2 ? count : *cap * 2;
  void* grown = qor_realloc(*val, static_cast<size_t>(next) * elem);
  if (grown == nullptr) return NS_S_NOMEM;
  std::memset(static_cast<char*>(grown) + static_cast<size_t>(*cap) * elem, 0,
              static_cast<size_t>(next - *cap) * elem);
  *val = grown;
  *cap = next;
  return NS_S_OK;
}

int first_chunk(int32_t count) { return count < kFirstListChunk ? count : kFirstListChunk; }

// 19 if any write of the record failed or the stream holds an error.
int write_result(FILE* fp, bool failed) {
  return (failed || std::ferror(fp) != 0) ? NS_S_SYSFAIL : NS_S_OK;
}

}  // namespace

int NS__ReadLine(char** buf, size_t* size, FILE* fp) {
  for (;;) {
    int rc = read_eachline(buf, size, fp);
    if (rc != NS_S_OK) return rc;
    if (!insignificant(*buf)) return NS_S_OK;
  }
}

bool NS__text_storable(const char* s) {
  return s != nullptr && !insignificant(s) && std::strpbrk(s, "\r\n") == nullptr;
}

// ---- Text form: writers ----

int NS__write_qorobjid(FILE* fp, const qorobjid* obj) {
  const char* cls = NS__ClassToStr(obj->nsclass);
  if (cls == nullptr) return NS_S_NOCLASS;
  if (obj->name == nullptr) return NS_S_NOID;
  if (obj->domain == nullptr) return NS_S_NODOMAIN;
  bool failed = qor_fputparts(fp, {cls, "\n", obj->name, "\n", obj->domain, "\n"}) != 0;
  return write_result(fp, failed);
}

int NS__write_qorobjects(FILE* fp, const qorobjects* objs) {
  if (objs->len <= 0) return NS_S_NODATA;
  char num[12];
  bool failed = qor_fputparts(fp, {qor_decimal(objs->len, num), "\n"}) != 0;
  for (int32_t i = 0; i < objs->len; ++i) {
    int rc = NS__write_qorobjid(fp, &objs->val[i]);
    if (rc != NS_S_OK) return rc;
  }
  return write_result(fp, failed);
}

int NS__write_rpcbinding(FILE* fp, const rpcbinding* binding) {
  if (binding->len <= 0) return NS_S_NODATA;
  for (int32_t i = 0; i < binding->len; ++i) {
    if (binding->val[i] == nullptr) return NS_S_NODATA;
  }
  char num[12];
  bool failed = qor_fputparts(fp, {qor_decimal(binding->len, num), "\n"}) != 0;
  for (int32_t i = 0; i < binding->len; ++i) {
    failed |= qor_fputparts(fp, {binding->val[i], "\n"}) != 0;
  }
  return write_result(fp, failed);
}

int NS__write_qor_serverinfo(FILE* fp, const qor_serverinfo* info) {
  if (info->host == nullptr) return NS_S_NODATA;
  int rc = NS__write_rpcbinding(fp, &info->binding);
  if (rc != NS_S_OK) return rc;
  char num[12];
  bool failed =
      qor_fputparts(fp, {info->host, "\n", qor_decimal(info->support_auth, num), "\n"}) != 0;
  return write_result(fp, failed);
}

// ---- Text form: readers ----

int NS__read_qorobjid(FILE* fp, char** buf, size_t* size, qorobjid* obj) {
  obj->name = nullptr;
  obj->domain = nullptr;
  int nsclass = NS_CLASS_NONE;
  int rc = NS__ReadLine(buf, size, fp);
  if (rc == NS_S_OK) rc = NS__StrToClass(*buf, &nsclass);
  if (rc == NS_S_OK) rc = NS__ReadLine(buf, size, fp);
  if (rc == NS_S_OK) {
    obj->name = qor_strdup(*buf);
    if (obj->name == nullptr) rc = NS_S_NOMEM;
  }
  if (rc == NS_S_OK) rc = NS__ReadLine(buf, size, fp);
  if (rc == NS_S_OK) {
    obj->domain = qor_strdup(*buf);
    if (obj->domain == nullptr) rc = NS_S_NOMEM;
  }
  if (rc != NS_S_OK) {
    qor_free(obj->name);
    qor_free(obj->domain);
    obj->name = nullptr;
    obj->domain = nullptr;
    obj->nsclass = NS_CLASS_NONE;
    return rc;
  }
  obj->nsclass = nsclass;
  return NS_S_OK;
}

int NS__read_qorobjects(FILE* fp, char** buf, size_t* size, qorobjects* objs) {
  objs->len = 0;
  objs->val = nullptr;
  int32_t count = 0;
  int rc = read_count(fp, buf, size, &count);
  if (rc != NS_S_OK) return rc;
  int32_t cap = first_chunk(count);
  void* val = qor_calloc(static_cast<size_t>(cap), sizeof(qorobjid));
  if (val == nullptr) return NS_S_NOMEM;
  int32_t i = 0;
  for (; i < count; ++i) {
    rc = ensure_slot(&val, &cap, i, count, sizeof(qorobjid));
    if (rc != NS_S_OK) break;
    rc = NS__read_qorobjid(fp, buf, size, &static_cast<qorobjid*>(val)[i]);
    if (rc != NS_S_OK) break;
  }
  if (rc != NS_S_OK) {
    while (i-- > 0) NS__free_qorobjid(&static_cast<qorobjid*>(val)[i]);
    qor_free(val);
    return rc;
  }
  objs->val = static_cast<qorobjid*>(val);
  objs->len = count;
  return NS_S_OK;
}

int NS__read_rpcbinding(FILE* fp, char** buf, size_t* size, rpcbinding* binding) {
  binding->len = 0;
  binding->val = nullptr;
  int32_t count = 0;
  int rc = read_count(fp, buf, size, &count);
  if (rc != NS_S_OK) return rc;
  int32_t cap = first_chunk(count);
  void* val = qor_calloc(static_cast<size_t>(cap), sizeof(char*));
  if (val == nullptr) return NS_S_NOMEM;
  int32_t i = 0;
  for (; i < count; ++i) {
    // Whatever goes wrong inside the entry lines, a list ending early
    // included, the binding list is reported as 14.
    if (ensure_slot(&val, &cap, i, count, sizeof(char*)) != NS_S_OK ||
        NS__ReadLine(buf, size, fp) != NS_S_OK) {
      rc = NS_S_NOMEM;
      break;
    }
    char* entry = qor_strdup(*buf);
    if (entry == nullptr) {
      rc = NS_S_NOMEM;
      break;
    }
    static_cast<char**>(val)[i] = entry;
  }
  if (rc != NS_S_OK) {
    while (i-- > 0) qor_free(static_cast<char**>(val)[i]);
    qor_free(val);
    return rc;
  }
  binding->val = static_cast<char**>(val);
  binding->len = count;
  return NS_S_OK;
}

int NS__read_qor_serverinfo(FILE* fp, char** buf, size_t* size, qor_serverinfo* info) {
  info->host = nullptr;
  info->support_auth = 0;
  int rc = NS__read_rpcbinding(fp, buf, size, &info->binding);
  if (rc != NS_S_OK) return rc;
  rc = NS__ReadLine(buf, size, fp);
  if (rc == NS_S_OK) {
    info->host = qor_strdup(*buf);
    if (info->host == nullptr) rc = NS_S_NOMEM;
  }
  if (rc == NS_S_OK) rc = NS__ReadLine(buf, size, fp);
  if (rc != NS_S_OK) {
    NS__free_qor_serverinfo(info);
    info->binding.len = 0;
    info->binding.val = nullptr;
    info->host = nullptr;
    return rc;
  }
  int32_t auth = 0;
  if (parse_number(*buf, &auth)) info->support_auth = auth;
  return NS_S_OK;
}

// ---- Overwrite rules ----

namespace {

// The addresses of one server, raw and in network order.
struct _svadrs_t {
  int len;   // bytes per address
  int nval;  // number of addresses
  char** val;
};

void free_svadrs(_svadrs_t* adrs) {
  if (adrs->nval == 0) return;
  for (int i = 0; i < adrs->nval; i++) qor_free(adrs->val[i]);
  qor_free(adrs->val);
  adrs->nval = 0;
  adrs->val = nullptr;
}

// Every address of the host that the first "ncacn_ip_tcp"/"ncacn_ip_udp"
// binding names. 0; 12 no such binding; 14; 19 the host has no entry.
int getipfrombinding(const rpcbinding* binding, _svadrs_t* adrs) {
  adrs->len = 0;
  adrs->nval = 0;
  adrs->val = nullptr;

  char* netaddr = nullptr;
  for (int i = 0; i < binding->len && netaddr == nullptr; i++) {
    char* protseq = nullptr;
    char* addr = nullptr;
    RPC_STATUS rs =
        RpcStringBindingParseA(binding->val[i], nullptr, &protseq, &addr, nullptr, nullptr);
    // Only a binding that does not parse is skipped; memory is not a reason to.
    if (rs == RPC_S_OUT_OF_MEMORY) return NS_S_NOMEM;
    if (rs != RPC_S_OK) continue;
    if (protseq != nullptr &&
        (strcmp(protseq, "ncacn_ip_tcp") == 0 || strcmp(protseq, "ncacn_ip_udp") == 0)) {
      netaddr = addr;
      addr = nullptr;
    }
    RpcStringFreeA(&protseq);
    RpcStringFreeA(&addr);
  }
  if (netaddr == nullptr) return NS_S_EOF;

  // A literal address is widened through its reverse entry to every address
  // of that host, a name to every address it resolves to.
  // inet_addr's answer for 255.255.255.255 is its failure value, so that
  // address is looked up as a name.
  qor_hostent* he = nullptr;
  in_addr literal;
  bool is_literal = qor_inet_addr(netaddr, &literal) && literal.s_addr != INADDR_NONE;
  int rc = is_literal ? qor_host_by_addr(literal, &he) : qor_host_by_name(netaddr, &he);
  RpcStringFreeA(&netaddr);
  if (rc == WSA_NOT_ENOUGH_MEMORY) return NS_S_NOMEM;
  if (rc != QOR_HOST_OK || he == nullptr) return NS_S_SYSFAIL;

  int count = static_cast<int>(he->naddrs);
  adrs->val = static_cast<char**>(qor_calloc(count, sizeof(char*)));
  if (adrs->val == nullptr) {
    qor_host_free(he);
    return NS_S_NOMEM;
  }
  adrs->len = he->length;
  for (int i = 0; i < count; i++) {
    adrs->val[i] = static_cast<char*>(qor_malloc(he->length));
    if (adrs->val[i] == nullptr) {
      adrs->nval = i;
      if (i == 0) qor_free(adrs->val);
      free_svadrs(adrs);
      adrs->val = nullptr;
      qor_host_free(he);
      return NS_S_NOMEM;
    }
    memcpy(adrs->val[i], &he->addrs[i], he->length);
  }
  adrs->nval = count;
  qor_host_free(he);
  return NS_S_OK;
}

int have_same_adrs(const _svadrs_t* a, const _svadrs_t* b) {
  if (a->len != b->len) return 0;
  for (int i = 0; i < a->nval; i++) {
    for (int j = 0; j < b->nval; j++) {
      if (memcmp(a->val[i], b->val[j], a->len) == 0) return 1;
    }
  }
  return 0;
}

}  // namespace

int NS__can_overwrite_server(const qor_serverinfo* newent, const qor_serverinfo* curent,
                             int* canov) {
  if (_mbsicmp(newent->host, curent->host) != 0) {
    *canov = 0;
    return NS_S_OK;
  }
  _svadrs_t newadrs;
  int status = getipfrombinding(&newent->binding, &newadrs);
  if (status == NS_S_EOF) {
    *canov = 1;
    return NS_S_OK;
  }
  if (status != NS_S_OK) return status;

  _svadrs_t curadrs;
  status = getipfrombinding(&curent->binding, &curadrs);
  if (status != NS_S_OK) {
    free_svadrs(&newadrs);
    if (status == NS_S_EOF) {
      *canov = 1;
      return NS_S_OK;
    }
    return status;
  }
  *canov = have_same_adrs(&newadrs, &curadrs);
  free_svadrs(&curadrs);
  free_svadrs(&newadrs);
  return NS_S_OK;
}

int NS__can_overwrite_svassoc(const qorobjid* newent, const qorobjid* curent, int* canov) {
  *canov = newent->nsclass == curent->nsclass && _mbsicmp(newent->domain, curent->domain) == 0 &&
           _mbscmp(newent->name, curent->name) == 0;
  return NS_S_OK;
}

int NS__can_overwrite_group(const qorobjects* /*newent*/, const qorobjects* /*curent*/,
                            int* canov) {
  *canov = 0;
  return NS_S_OK;
}
