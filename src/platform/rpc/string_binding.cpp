#include "platform/rpc/string_binding.h"

#include <cstring>

#include "platform/memory.h"
#include "platform/rpc/rpc_types.h"
#include "platform/textline.h"

namespace {

// Characters escaped when composing, per part. Commas and equals signs of the network options
// are its separators and stay as they are.
constexpr const char* kPlainSpecials = "@:[],\\";
constexpr const char* kEndpointSpecials = "@:[],=\\";
constexpr const char* kOptionSpecials = "@:[]\\";

// Protocol sequences other runtimes offer and this one does not: 1703
// rather than 1704, so that a configuration or a binding naming them is
// reported as unusable here, not as misspelt.
constexpr const char* kKnownProtseqs[] = {
    "ncacn_np",      "ncalrpc",      "ncacn_http",     "ncadg_ip_udp",   "ncacn_spx",
    "ncacn_nb_tcp",  "ncacn_nb_ipx", "ncacn_nb_nb",    "ncacn_at_dsp",   "ncadg_ipx",
    "ncacn_vns_spp", "ncadg_mq",     "ncacn_dnet_nsp", "ncacn_hvsocket", "ncadg_at_ddp",
};

// A part of the string binding as written, escapes still in place.
struct raw_part {
  const char* begin = nullptr;
  const char* end = nullptr;
  bool present() const { return begin != nullptr; }
};

// Advances `p` to the first unescaped character of `stops` (or the end). Returns false when an
// unescaped character of `forbidden` comes first or a backslash ends the string.
bool scan(const char*& p, const char* stops, const char* forbidden) {
  for (; *p != '\0'; ++p) {
    if (*p == '\\') {
      if (p[1] == '\0') return false;
      ++p;
      continue;
    }
    if (std::strchr(stops, *p) != nullptr) return true;
    if (std::strchr(forbidden, *p) != nullptr) return false;
  }
  return true;
}

size_t unescaped_length(const char* begin, const char* end) {
  size_t n = 0;
  for (const char* p = begin; p < end; ++p, ++n) {
    if (*p == '\\') ++p;
  }
  return n;
}

char* unescape_into(char* out, const char* begin, const char* end) {
  for (const char* p = begin; p < end; ++p) {
    if (*p == '\\') ++p;
    *out++ = *p;
  }
  return out;
}

// A new string holding the part without its escapes; the empty string for an absent part.
char* unescape(const raw_part& part) {
  size_t n = part.present() ? unescaped_length(part.begin, part.end) : 0;
  char* s = static_cast<char*>(qor_malloc(n + 1));
  if (s == nullptr) return nullptr;
  char* end = part.present() ? unescape_into(s, part.begin, part.end) : s;
  *end = '\0';
  return s;
}

bool unescaped_equals_ignoring_case(const raw_part& part, const char* word) {
  char buf[16];
  size_t n = unescaped_length(part.begin, part.end);
  if (n >= sizeof buf) return false;
  *unescape_into(buf, part.begin, part.end) = '\0';
  return qor_ascii_iequal(buf, word);
}

struct parsed_binding {
  raw_part uuid, protseq, address, endpoint;
  // The options are items of the bracket; they are joined while being unescaped.
  const char* bracket_begin = nullptr;
  const char* bracket_end = nullptr;
};

bool is_option_item(const char* begin, const char* end, raw_part* endpoint_value) {
  const char* eq = begin;
  scan(eq, "=,]", "");
  if (eq >= end || *eq != '=') return false;  // no '=': an endpoint
  raw_part key{begin, eq};
  if (unescaped_equals_ignoring_case(key, "endpoint")) {
    *endpoint_value = raw_part{eq + 1, end};
    return false;
  }
  return true;
}

// Walks the bracket's items: endpoint (at most one) and options.
RPC_STATUS split_bracket(parsed_binding* b) {
  const char* p = b->bracket_begin;
  while (p < b->bracket_end) {
    const char* item = p;
    scan(p, ",]", "");
    const char* item_end = p;
    if (p < b->bracket_end) ++p;  // past the comma
    if (item == item_end) continue;
    raw_part endpoint{item, item_end};
    if (is_option_item(item, item_end, &endpoint)) continue;
    if (b->endpoint.present()) return RPC_S_INVALID_STRING_BINDING;
    b->endpoint = endpoint;
  }
  return RPC_S_OK;
}

char* join_options(const parsed_binding& b) {
  size_t n = 0;
  if (b.bracket_begin != nullptr) n = unescaped_length(b.bracket_begin, b.bracket_end);
  char* s = static_cast<char*>(qor_malloc(n + 1));
  if (s == nullptr) return nullptr;
  char* out = s;
  const char* p = b.bracket_begin;
  while (p != nullptr && p < b.bracket_end) {
    const char* item = p;
    scan(p, ",]", "");
    const char* item_end = p;
    if (p < b.bracket_end) ++p;
    raw_part ignored;
    if (item == item_end || !is_option_item(item, item_end, &ignored)) continue;
    if (out != s) *out++ = ',';
    out = unescape_into(out, item, item_end);
  }
  *out = '\0';
  return s;
}

RPC_STATUS split(const char* s, parsed_binding* b) {
  const char* p = s;
  // An object UUID comes before an '@' that precedes the protocol sequence's ':'.
  if (!scan(p, "@:", "")) return RPC_S_INVALID_STRING_BINDING;
  if (*p == '@') {
    b->uuid = raw_part{s, p};
    ++p;
  } else {
    p = s;
  }
  const char* protseq = p;
  if (!scan(p, ":", "@[],") || *p != ':') return RPC_S_INVALID_STRING_BINDING;
  if (p == protseq) return RPC_S_INVALID_STRING_BINDING;
  b->protseq = raw_part{protseq, p};
  ++p;
  const char* address = p;
  if (!scan(p, "[", "@:],")) return RPC_S_INVALID_STRING_BINDING;
  b->address = raw_part{address, p};
  if (*p == '[') {
    ++p;
    b->bracket_begin = p;
    if (!scan(p, "]", "[") || *p != ']') return RPC_S_INVALID_STRING_BINDING;
    b->bracket_end = p;
    ++p;
    if (*p != '\0') return RPC_S_INVALID_STRING_BINDING;
    RPC_STATUS status = split_bracket(b);
    if (status != RPC_S_OK) return status;
  }
  if (b->uuid.present()) {
    char text[40];
    rpc_uuid uuid;
    size_t n = unescaped_length(b->uuid.begin, b->uuid.end);
    if (n >= sizeof text) return RPC_S_INVALID_STRING_UUID;
    *unescape_into(text, b->uuid.begin, b->uuid.end) = '\0';
    if (!rpc_uuid_parse(text, &uuid)) return RPC_S_INVALID_STRING_UUID;
  }
  return RPC_S_OK;
}

size_t escaped_length(const char* s, const char* specials) {
  size_t n = 0;
  for (; *s != '\0'; ++s) n += std::strchr(specials, *s) != nullptr ? 2 : 1;
  return n;
}

char* put_escaped(char* out, const char* s, const char* specials) {
  for (; *s != '\0'; ++s) {
    if (std::strchr(specials, *s) != nullptr) *out++ = '\\';
    *out++ = *s;
  }
  return out;
}

bool given(const char* s) { return s != nullptr && *s != '\0'; }

}  // namespace

RPC_STATUS RpcStringBindingComposeA(const char* ObjUuid, const char* Protseq,
                                    const char* NetworkAddr, const char* Endpoint,
                                    const char* NetworkOptions, char** StringBinding) {
  if (StringBinding == nullptr) return RPC_S_INVALID_ARG;
  *StringBinding = nullptr;
  if (!given(Protseq)) return RPC_S_INVALID_STRING_BINDING;
  rpc_uuid uuid;
  if (given(ObjUuid) && !rpc_uuid_parse(ObjUuid, &uuid)) return RPC_S_INVALID_STRING_UUID;

  const char* addr = NetworkAddr != nullptr ? NetworkAddr : "";
  const char* endpoint = Endpoint != nullptr ? Endpoint : "";
  const char* options = NetworkOptions != nullptr ? NetworkOptions : "";
  bool bracket = *endpoint != '\0' || *options != '\0';
  size_t n = (given(ObjUuid) ? std::strlen(ObjUuid) + 1 : 0) +
             escaped_length(Protseq, kPlainSpecials) + 1 + escaped_length(addr, kPlainSpecials);
  if (bracket) {
    n += 2 + escaped_length(endpoint, kEndpointSpecials);
    if (*options != '\0') n += 1 + escaped_length(options, kOptionSpecials);
  }
  char* s = static_cast<char*>(qor_malloc(n + 1));
  if (s == nullptr) return RPC_S_OUT_OF_MEMORY;
  char* out = s;
  if (given(ObjUuid)) {
    size_t u = std::strlen(ObjUuid);
    std::memcpy(out, ObjUuid, u);
    out += u;
    *out++ = '@';
  }
  out = put_escaped(out, Protseq, kPlainSpecials);
  *out++ = ':';
  out = put_escaped(out, addr, kPlainSpecials);
  if (bracket) {
    *out++ = '[';
    out = put_escaped(out, endpoint, kEndpointSpecials);
    // Without an endpoint the options still follow a comma, so that an option can never be
    // read back as the endpoint.
    if (*options != '\0') {
      *out++ = ',';
      out = put_escaped(out, options, kOptionSpecials);
    }
    *out++ = ']';
  }
  *out = '\0';
  *StringBinding = s;
  return RPC_S_OK;
}

RPC_STATUS RpcStringBindingParseA(const char* StringBinding, char** ObjUuid, char** Protseq,
                                  char** NetworkAddr, char** Endpoint, char** NetworkOptions) {
  char** outs[5] = {ObjUuid, Protseq, NetworkAddr, Endpoint, NetworkOptions};
  for (char** o : outs) {
    if (o != nullptr) *o = nullptr;
  }
  if (StringBinding == nullptr) return RPC_S_INVALID_STRING_BINDING;
  parsed_binding b;
  RPC_STATUS status = split(StringBinding, &b);
  if (status != RPC_S_OK) return status;

  char* values[5] = {};
  bool failed = false;
  const raw_part* parts[4] = {&b.uuid, &b.protseq, &b.address, &b.endpoint};
  for (int i = 0; i < 5 && !failed; ++i) {
    if (outs[i] == nullptr) continue;
    values[i] = i < 4 ? unescape(*parts[i]) : join_options(b);
    failed = values[i] == nullptr;
  }
  if (failed) {
    for (char* v : values) qor_free(v);
    return RPC_S_OUT_OF_MEMORY;
  }
  for (int i = 0; i < 5; ++i) {
    if (outs[i] != nullptr) *outs[i] = values[i];
  }
  return RPC_S_OK;
}

RPC_STATUS rpc_protseq_status(const char* protseq) {
  if (protseq == nullptr) return RPC_S_INVALID_RPC_PROTSEQ;
  if (std::strcmp(protseq, "ncacn_ip_tcp") == 0) return RPC_S_OK;
  for (const char* known : kKnownProtseqs) {
    if (std::strcmp(protseq, known) == 0) return RPC_S_PROTSEQ_NOT_SUPPORTED;
  }
  return RPC_S_INVALID_RPC_PROTSEQ;
}

RPC_STATUS RpcStringFreeA(char** String) {
  if (String == nullptr) return RPC_S_INVALID_ARG;
  qor_free(*String);
  *String = nullptr;
  return RPC_S_OK;
}
