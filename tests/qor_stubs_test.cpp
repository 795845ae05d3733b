// The ns_qor_if stubs against stub data marshalled by an independent NDR
// implementation (impacket; tests/vectors/gen_qor_vectors.py): every request
// and reply of the eight operations is produced byte for byte by our encoder
// (client request halves, server stubs) and read back into equal records
// (server stubs, client reply halves).
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "federation/qor_c.h"
#include "federation/qor_ndr.h"
#include "federation/qor_s.h"
#include "federation/user_mem.h"
#include "platform/memory.h"

namespace {

using bytes = std::vector<uint8_t>;

struct Vector {
  uint32_t opnum;
  bytes data;
};

std::map<std::string, Vector> load_vectors() {
  std::map<std::string, Vector> out;
  std::ifstream in(std::string(QOR_SOURCE_DIR) + "/tests/vectors/qor_vectors.txt");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string name, hex;
    Vector v;
    fields >> name >> v.opnum >> hex;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
      v.data.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    out[name] = v;
  }
  return out;
}

const std::map<std::string, Vector>& vectors() {
  static const std::map<std::string, Vector> v = load_vectors();
  return v;
}

// ---------------------------------------------------------------- values

// The parameters of one call, in and out, as plain values.
struct Call {
  qorobjid obj = {}, assoc = {};
  int32_t force = 0;
  qor_serverinfo svinfo = {};
  qorobjects members = {};
  const char* domain_in = nullptr;

  char* out_string = nullptr;  // domain of getdomain, host of gethost and hello
  int32_t created = 0;
  qorobjid server = {};
  rpcbinding binding = {};
  int32_t supportauth = 0;
  int nsclass = 0;
  qorobjects objects = {};
  domainlist list = {};
  int result = 0;
};

char* s(const char* text) { return const_cast<char*>(text); }

char* BINDINGS3[] = {s("ncacn_ip_tcp:10.1.2.3[49664]"), s("ncacn_ip_tcp:10.1.2.4"),
                     s("ncacn_np:srv1[\\pipe\\qor]")};
qorobjid MEMBERS3[] = {
    {0, s("lp1"), nullptr}, {6, s("queue-7"), s("SALES")}, {1, s("pp2"), s("ENG")}};
char* NULL_BINDING[] = {s("ncacn_ip_tcp:h"), nullptr};
char* DOMAINS[] = {s("SALES"), s("ENG"), s("HQ")};
const qorobjid NO_OBJECT = {10, nullptr, nullptr};

// The values each vector was built from, by the generator's names.
const std::map<std::string, std::function<void(Call*)>>& cases() {
  static const std::map<std::string, std::function<void(Call*)>> c = {
      {"getdomain_request", [](Call*) {}},
      {"getdomain_reply", [](Call* c) { c->out_string = s("SALES"); }},
      {"getdomain_reply_null", [](Call* c) { c->result = 14; }},
      {"deleteobj_request",
       [](Call* c) {
         c->obj = {3, s("spool1"), nullptr};
       }},
      {"deleteobj_reply", [](Call* c) { c->result = 15; }},
      {"createobj_request_server",
       [](Call* c) {
         c->obj = {3, s("spool1"), s("SALES")};
         c->assoc = NO_OBJECT;
         c->force = 1;
         c->svinfo = {{3, BINDINGS3}, s("hostA"), 7};
       }},
      {"createobj_request_group",
       [](Call* c) {
         c->obj = {8, s("grp"), nullptr};
         c->assoc = NO_OBJECT;
         c->members = {2, MEMBERS3};
       }},
      {"createobj_request_printer",
       [](Call* c) {
         c->obj = {0, s("lp1"), s("sales")};
         c->assoc = {3, s("spool1"), nullptr};
       }},
      {"createobj_reply", [](Call* c) { c->created = 1; }},
      {"getobj_request",
       [](Call* c) {
         c->obj = {0, s("lp1"), nullptr};
       }},
      {"getobj_reply_three_bindings",
       [](Call* c) {
         c->server = {3, s("spool1"), s("SALES")};
         c->binding = {3, BINDINGS3};
         c->supportauth = 7;
         c->nsclass = 3;
       }},
      {"getobj_reply_none",
       [](Call* c) {
         c->server = NO_OBJECT;
         c->nsclass = 10;
         c->result = 15;
       }},
      {"getobj_reply_null_binding",
       [](Call* c) {
         c->server = {4, s("sv"), nullptr};
         c->binding = {2, NULL_BINDING};
         c->supportauth = -1;
         c->nsclass = 4;
       }},
      {"listobj_request",
       [](Call* c) {
         c->obj = {2, nullptr, s("SALES")};
       }},
      {"listobj_reply",
       [](Call* c) {
         c->objects = {3, MEMBERS3};
       }},
      {"listobj_reply_empty", [](Call* c) { c->result = 15; }},
      {"gethost_request",
       [](Call* c) {
         c->obj = {6, s("queue-7"), nullptr};
       }},
      {"gethost_reply", [](Call* c) { c->out_string = s("hostA"); }},
      {"gethost_reply_null", [](Call* c) { c->result = 11; }},
      {"listdomain_request_empty", [](Call* c) { c->domain_in = ""; }},
      {"listdomain_request", [](Call* c) { c->domain_in = "SALES"; }},
      {"listdomain_reply",
       [](Call* c) {
         c->list = {3, DOMAINS};
       }},
      {"listdomain_reply_empty", [](Call* c) { c->result = 18; }},
      {"hello_request", [](Call* c) { c->domain_in = "SALES"; }},
      {"hello_reply", [](Call* c) { c->out_string = s("10.1.2.3"); }},
      {"hello_reply_null", [](Call* c) { c->result = 19; }},
  };
  return c;
}

Call values_of(const std::string& name) {
  Call c;
  cases().at(name)(&c);
  return c;
}

bool is_request(const std::string& name) { return name.find("_request") != std::string::npos; }

// A request vector of the given operation, to drive a server stub to a reply.
const bytes& request_of(uint32_t opnum) {
  for (const auto& [name, v] : vectors()) {
    if (v.opnum == opnum && is_request(name)) return v.data;
  }
  static const bytes none;
  return none;
}

// ---------------------------------------------------------------- comparisons

std::string str(const char* p) { return p ? "\"" + std::string(p) + "\"" : "null"; }

std::string show(const qorobjid& o) {
  return "{" + std::to_string(o.nsclass) + "," + str(o.name) + "," + str(o.domain) + "}";
}
std::string show(int32_t len, char* const* val) {
  std::string out = std::to_string(len) + ":[";
  for (int32_t i = 0; val && i < len; ++i) out += str(val[i]) + " ";
  return out + "]";
}
std::string show(const qorobjects& l) {
  std::string out = std::to_string(l.len) + ":[";
  for (int32_t i = 0; l.val && i < l.len; ++i) out += show(l.val[i]) + " ";
  return out + "]";
}
std::string show(const qor_serverinfo& i) {
  return show(i.binding.len, i.binding.val) + " " + str(i.host) + " " +
         std::to_string(i.support_auth);
}

// Equal lists are equal in count and in every element; empty is {0, null}.
#define EXPECT_SAME(a, b) EXPECT_EQ(show(a), show(b))
#define EXPECT_SAME_STRINGS(a, b) EXPECT_EQ(show((a).len, (a).val), show((b).len, (b).val))

// ---------------------------------------------------------------- test managers

// What the managers saw and return: the current case.
thread_local Call* current = nullptr;
thread_local int calls = 0;

char* dup(const char* p) {
  if (p == nullptr) return nullptr;
  size_t n = strlen(p) + 1;
  char* c = static_cast<char*>(NS__MIDL_user_allocate(n));
  memcpy(c, p, n);
  return c;
}
qorobjid dup(const qorobjid& o) { return {o.nsclass, dup(o.name), dup(o.domain)}; }
char** dup_strings(int32_t len, char* const* val) {
  if (len <= 0 || val == nullptr) return nullptr;
  char** out = static_cast<char**>(NS__MIDL_user_allocate(len * sizeof(char*)));
  for (int32_t i = 0; i < len; ++i) out[i] = dup(val[i]);
  return out;
}
qorobjects dup(const qorobjects& l) {
  if (l.len <= 0 || l.val == nullptr) return {l.len, nullptr};  // as bad as it came
  qorobjects out = {l.len,
                    static_cast<qorobjid*>(NS__MIDL_user_allocate(l.len * sizeof(qorobjid)))};
  for (int32_t i = 0; i < l.len; ++i) out.val[i] = dup(l.val[i]);
  return out;
}

// Keeps what a manager was given (by value: the strings are the stub's and
// only live for the call, so they are shown at once).
struct Seen {
  std::string obj, assoc, svinfo, members, domain;
  int32_t force = 0;
};
thread_local Seen seen_in;

int m_getdomain(void*, char** domain) {
  ++calls;
  *domain = dup(current->out_string);
  return current->result;
}
int m_deleteobj(void*, const qorobjid* obj) {
  ++calls;
  seen_in.obj = show(*obj);
  return current->result;
}
int m_createobj(void*, const qorobjid* obj, const qorobjid* assoc, int32_t force,
                const qor_serverinfo* svinfo, const qorobjects* members, int32_t* created) {
  ++calls;
  seen_in.obj = show(*obj);
  seen_in.assoc = show(*assoc);
  seen_in.force = force;
  seen_in.svinfo = show(*svinfo);
  seen_in.members = show(*members);
  *created = current->created;
  return current->result;
}
int m_getobj(void*, const qorobjid* obj, qorobjid* server, rpcbinding* binding,
             int32_t* supportauth, int* nsclass) {
  ++calls;
  seen_in.obj = show(*obj);
  *server = dup(current->server);
  *binding = {current->binding.len, dup_strings(current->binding.len, current->binding.val)};
  *supportauth = current->supportauth;
  *nsclass = current->nsclass;
  return current->result;
}
int m_listobj(void*, const qorobjid* obj, qorobjects* objects) {
  ++calls;
  seen_in.obj = show(*obj);
  *objects = dup(current->objects);
  return current->result;
}
int m_gethost(void*, const qorobjid* obj, char** host) {
  ++calls;
  seen_in.obj = show(*obj);
  *host = dup(current->out_string);
  return current->result;
}
int m_listdomain(void*, const char* domain, domainlist* list) {
  ++calls;
  seen_in.domain = str(domain);
  *list = {current->list.len, dup_strings(current->list.len, current->list.val)};
  return current->result;
}
int m_hello(void*, const char* domain, char** host) {
  ++calls;
  seen_in.domain = str(domain);
  *host = dup(current->out_string);
  return current->result;
}

const NS__sv_ns_qor_if_v1_1_epv_t TEST_EPV = {m_getdomain, m_deleteobj, m_createobj,  m_getobj,
                                              m_listobj,   m_gethost,   m_listdomain, m_hello};

rpc_stub_result dispatch(uint32_t opnum, const bytes& in, bytes* out, const void* epv = &TEST_EPV) {
  const rpc_server_interface& itf = NS__sv_ns_qor_if_v1_1_s_ifspec;
  return itf.stubs[opnum](epv, in.data(), in.size(), out);
}

// ---------------------------------------------------------------- client halves

uint32_t marshal_request(uint32_t opnum, const Call& c, bytes* out) {
  switch (opnum) {
    case QOR_OP_GETDOMAIN:
      return qor_c_marshal_getdomain_request(out);
    case QOR_OP_DELETEOBJ:
      return qor_c_marshal_deleteobj_request(&c.obj, out);
    case QOR_OP_CREATEOBJ:
      return qor_c_marshal_createobj_request(&c.obj, &c.assoc, c.force, &c.svinfo, &c.members, out);
    case QOR_OP_GETOBJ:
      return qor_c_marshal_getobj_request(&c.obj, out);
    case QOR_OP_LISTOBJ:
      return qor_c_marshal_listobj_request(&c.obj, out);
    case QOR_OP_GETHOST:
      return qor_c_marshal_gethost_request(&c.obj, out);
    case QOR_OP_LISTDOMAIN:
      return qor_c_marshal_listdomain_request(c.domain_in, out);
    default:
      return qor_c_marshal_hello_request(c.domain_in, out);
  }
}

// Reads a reply into *c (out members); the caller frees with free_outs.
uint32_t unmarshal_reply(uint32_t opnum, const bytes& in, Call* c) {
  const uint8_t* p = in.data();
  size_t n = in.size();
  switch (opnum) {
    case QOR_OP_GETDOMAIN:
      return qor_c_unmarshal_getdomain_reply(p, n, &c->out_string, &c->result);
    case QOR_OP_DELETEOBJ:
      return qor_c_unmarshal_deleteobj_reply(p, n, &c->result);
    case QOR_OP_CREATEOBJ:
      return qor_c_unmarshal_createobj_reply(p, n, &c->created, &c->result);
    case QOR_OP_GETOBJ:
      return qor_c_unmarshal_getobj_reply(p, n, &c->server, &c->binding, &c->supportauth,
                                          &c->nsclass, &c->result);
    case QOR_OP_LISTOBJ:
      return qor_c_unmarshal_listobj_reply(p, n, &c->objects, &c->result);
    case QOR_OP_GETHOST:
      return qor_c_unmarshal_gethost_reply(p, n, &c->out_string, &c->result);
    case QOR_OP_LISTDOMAIN:
      return qor_c_unmarshal_listdomain_reply(p, n, &c->list, &c->result);
    default:
      return qor_c_unmarshal_hello_reply(p, n, &c->out_string, &c->result);
  }
}

void free_outs(Call* c) {
  NS__MIDL_user_free(c->out_string);
  qor_ndr_free_qorobjid(&c->server);
  qor_ndr_free_strings(c->binding.len, c->binding.val);
  qor_ndr_free_qorobjects(&c->objects);
  qor_ndr_free_strings(c->list.len, c->list.val);
}

void expect_outs_equal(const Call& got, const Call& want) {
  EXPECT_EQ(str(got.out_string), str(want.out_string));
  EXPECT_EQ(got.created, want.created);
  EXPECT_SAME(got.server, want.server);
  EXPECT_SAME_STRINGS(got.binding, want.binding);
  EXPECT_EQ(got.supportauth, want.supportauth);
  EXPECT_EQ(got.nsclass, want.nsclass);
  EXPECT_SAME(got.objects, want.objects);
  EXPECT_SAME_STRINGS(got.list, want.list);
  EXPECT_EQ(got.result, want.result);
}

void expect_outs_empty(const Call& c) {
  EXPECT_EQ(c.out_string, nullptr);
  EXPECT_EQ(c.server.name, nullptr);
  EXPECT_EQ(c.server.domain, nullptr);
  EXPECT_EQ(c.binding.val, nullptr);
  EXPECT_EQ(c.objects.val, nullptr);
  EXPECT_EQ(c.list.val, nullptr);
}

// ---------------------------------------------------------------- tests

TEST(QorStubVectors, EveryVectorHasItsValues) {
  ASSERT_EQ(vectors().size(), cases().size());
  for (const auto& [name, v] : vectors()) EXPECT_EQ(cases().count(name), 1u) << name;
  for (uint32_t op = 0; op < QOR_OP_COUNT; ++op) {
    int requests = 0, replies = 0;
    for (const auto& [name, v] : vectors()) {
      if (v.opnum == op) ++(is_request(name) ? requests : replies);
    }
    EXPECT_GE(requests, 1) << op;
    EXPECT_GE(replies, 1) << op;
  }
}

TEST(QorStubVectors, RequestsMarshalExactlyAndReachTheManagerEqual) {
  for (const auto& [name, v] : vectors()) {
    if (!is_request(name)) continue;
    SCOPED_TRACE(name);
    Call want = values_of(name);

    bytes mine;
    ASSERT_EQ(marshal_request(v.opnum, want, &mine), 0u);
    EXPECT_EQ(mine, v.data);

    Call reply;
    current = &reply;
    seen_in = {};
    calls = 0;
    bytes out;
    rpc_stub_result r = dispatch(v.opnum, v.data, &out);
    EXPECT_EQ(r.fault, 0u);
    EXPECT_TRUE(r.executed);
    EXPECT_EQ(calls, 1);
    if (v.opnum == QOR_OP_GETDOMAIN) continue;
    if (v.opnum >= QOR_OP_LISTDOMAIN) {
      EXPECT_EQ(seen_in.domain, str(want.domain_in));
      continue;
    }
    EXPECT_EQ(seen_in.obj, show(want.obj));
    if (v.opnum == QOR_OP_CREATEOBJ) {
      EXPECT_EQ(seen_in.assoc, show(want.assoc));
      EXPECT_EQ(seen_in.force, want.force);
      EXPECT_EQ(seen_in.svinfo, show(want.svinfo));
      EXPECT_EQ(seen_in.members, show(want.members));
    }
  }
}

TEST(QorStubVectors, RepliesMarshalExactlyAndReadBackEqual) {
  for (const auto& [name, v] : vectors()) {
    if (is_request(name)) continue;
    SCOPED_TRACE(name);
    Call want = values_of(name);

    current = &want;
    bytes out = {0xee, 0xee};  // the runtime's own bytes before the stub stay
    rpc_stub_result r = dispatch(v.opnum, request_of(v.opnum), &out);
    ASSERT_EQ(r.fault, 0u);
    EXPECT_EQ(bytes(out.begin() + 2, out.end()), v.data);

    Call got;
    ASSERT_EQ(unmarshal_reply(v.opnum, v.data, &got), 0u);
    expect_outs_equal(got, want);
    free_outs(&got);
  }
}

TEST(QorStubVectors, DesignExamplesTravelAsDescribed) {
  // A class-3 identity with a null domain: value 3, padding, a name id, a
  // zero domain id, then the name string alone.
  const bytes& del = vectors().at("deleteobj_request").data;
  ASSERT_EQ(del.size(), 12u + 12u + 7u);
  EXPECT_EQ(bytes(del.begin(), del.begin() + 2), (bytes{3, 0}));
  EXPECT_NE(del[6] | del[7], 0);
  EXPECT_EQ(bytes(del.begin() + 8, del.begin() + 12), (bytes{0, 0, 0, 0}));
  // The empty domain string is a string of one byte, its terminator.
  EXPECT_EQ(vectors().at("listdomain_request_empty").data,
            (bytes{1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}));
  // A null out string is a zero id followed by the result.
  EXPECT_EQ(vectors().at("gethost_reply_null").data, (bytes{0, 0, 0, 0, 11, 0, 0, 0}));
}

TEST(QorStubs, EveryTruncatedRequestIsRefusedUnexecuted) {
  for (const auto& [name, v] : vectors()) {
    if (!is_request(name)) continue;
    for (size_t n = 0; n < v.data.size(); ++n) {
      Call reply;
      current = &reply;
      calls = 0;
      bytes in(v.data.begin(), v.data.begin() + static_cast<long>(n)), out;
      rpc_stub_result r = dispatch(v.opnum, in, &out);
      EXPECT_EQ(r.fault, NCA_S_FAULT_NDR) << name << " " << n;
      EXPECT_FALSE(r.executed) << name << " " << n;
      EXPECT_EQ(calls, 0) << name << " " << n;
      EXPECT_TRUE(out.empty()) << name << " " << n;
    }
  }
}

TEST(QorStubs, EveryTruncatedReplyLeavesTheOutParametersEmpty) {
  for (const auto& [name, v] : vectors()) {
    if (is_request(name)) continue;
    for (size_t n = 0; n < v.data.size(); ++n) {
      Call got;
      bytes in(v.data.begin(), v.data.begin() + static_cast<long>(n));
      EXPECT_EQ(unmarshal_reply(v.opnum, in, &got), NCA_S_FAULT_NDR) << name << " " << n;
      expect_outs_empty(got);
    }
  }
}

TEST(QorStubs, MemoryExhaustionAtEveryStep) {
  const Vector& request = vectors().at("createobj_request_server");
  const Vector& reply = vectors().at("getobj_reply_three_bindings");
  Call want = values_of("createobj_reply");
  for (long n = 1;; ++n) {
    current = &want;
    calls = 0;
    bytes out;
    qor_alloc_fail_at(n);
    rpc_stub_result r = dispatch(request.opnum, request.data, &out);
    bool fired = qor_alloc_failed();
    qor_alloc_fail_at(0);
    if (!fired) {
      EXPECT_EQ(r.fault, 0u);
      break;
    }
    EXPECT_EQ(r.fault, NCA_S_FAULT_REMOTE_NO_MEMORY) << n;
    EXPECT_FALSE(r.executed) << n;
    EXPECT_EQ(calls, 0) << n;
  }
  for (long n = 1;; ++n) {
    Call got;
    qor_alloc_fail_at(n);
    uint32_t status = unmarshal_reply(reply.opnum, reply.data, &got);
    bool fired = qor_alloc_failed();
    qor_alloc_fail_at(0);
    if (!fired) {
      EXPECT_EQ(status, 0u);
      free_outs(&got);
      break;
    }
    EXPECT_EQ(status, NCA_S_FAULT_REMOTE_NO_MEMORY) << n;
    expect_outs_empty(got);
  }
}

TEST(QorStubs, HostileCountsAreRefused) {
  struct {
    const char* what;
    const char* hex;
    uint32_t fault;
  } cases[] = {
      // listobj request would be an identity; these are listdomain replies.
      {"a count without its array", "03000000 00000000 00000000", NCA_S_FAULT_INVALID_BOUND},
      {"a negative count", "ffffffff 00000000 00000000", NCA_S_FAULT_INVALID_BOUND},
      {"maximum count above the count", "01000000 00000200 02000000 00000000 00000000",
       NCA_S_FAULT_INVALID_BOUND},
      {"a million strings claimed", "40420f00 00000200 40420f00 00000000", NCA_S_FAULT_NDR},
  };
  for (const auto& c : cases) {
    bytes in;
    for (const char* p = c.hex; *p; ++p) {
      if (!isxdigit(static_cast<unsigned char>(*p))) continue;
      in.push_back(static_cast<uint8_t>(std::stoul(std::string(p, 2), nullptr, 16)));
      ++p;
    }
    Call got;
    EXPECT_EQ(unmarshal_reply(QOR_OP_LISTDOMAIN, in, &got), c.fault) << c.what;
    expect_outs_empty(got);
  }
  // An empty list may come with an array of maximum count 0: still empty.
  bytes empty_array = {0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  Call got;
  ASSERT_EQ(unmarshal_reply(QOR_OP_LISTDOMAIN, empty_array, &got), 0u);
  EXPECT_EQ(got.list.len, 0);
  EXPECT_EQ(got.list.val, nullptr);
}

TEST(QorStubs, WithoutManagersNothingRuns) {
  bytes out;
  NS__sv_ns_qor_if_v1_1_epv_t partial = {};
  for (uint32_t op = 0; op < QOR_OP_COUNT; ++op) {
    for (const void* epv :
         {static_cast<const void*>(nullptr), static_cast<const void*>(&partial)}) {
      rpc_stub_result r = dispatch(op, request_of(op), &out, epv);
      EXPECT_EQ(r.fault, NCA_S_UNK_IF);
      EXPECT_FALSE(r.executed);
    }
  }
  EXPECT_TRUE(out.empty());
  const rpc_server_interface& itf = NS__sv_ns_qor_if_v1_1_s_ifspec;
  rpc_uuid uuid;
  ASSERT_TRUE(rpc_uuid_parse("b1da8d70-4984-11d0-b98c-00a0248df91a", &uuid));
  EXPECT_EQ(itf.syntax.uuid, uuid);
  EXPECT_EQ(itf.syntax.major, 1);
  EXPECT_EQ(itf.syntax.minor, 1);
  EXPECT_EQ(itf.opcount, QOR_OP_COUNT);
}

TEST(QorStubs, OutDataThatCannotTravelFaultsAfterTheCall) {
  Call bad[4];
  bad[0].objects = {-2, nullptr};  // a negative count
  bad[1].objects = {1, nullptr};   // a count without its array
  bad[2].nsclass = 70000;          // no 16-bit class
  bad[3].server = {-1, nullptr, nullptr};
  const uint32_t ops[4] = {QOR_OP_LISTOBJ, QOR_OP_LISTOBJ, QOR_OP_GETOBJ, QOR_OP_GETOBJ};
  for (int i = 0; i < 4; ++i) {
    current = &bad[i];
    calls = 0;
    bytes out = {0xee};
    rpc_stub_result r = dispatch(ops[i], request_of(ops[i]), &out);
    EXPECT_NE(r.fault, 0u) << i;
    EXPECT_TRUE(r.executed) << i;
    EXPECT_EQ(calls, 1) << i;
    EXPECT_EQ(out, bytes{0xee}) << i;
  }
}

TEST(QorClientHalves, RefuseWhatCannotBeSent) {
  bytes out = {0xee};
  qorobjid obj = {3, s("x"), nullptr};
  qor_serverinfo info = {{-1, nullptr}, nullptr, 0};
  qorobjects members = {};
  EXPECT_EQ(qor_c_marshal_getobj_request(nullptr, &out), NCA_S_FAULT_NDR);
  EXPECT_EQ(qor_c_marshal_hello_request(nullptr, &out), NCA_S_FAULT_NDR);
  EXPECT_EQ(qor_c_marshal_createobj_request(&obj, nullptr, 0, &info, &members, &out),
            NCA_S_FAULT_NDR);
  EXPECT_EQ(qor_c_marshal_createobj_request(&obj, &obj, 0, &info, &members, &out),
            NCA_S_FAULT_INVALID_BOUND);
  EXPECT_EQ(out, bytes{0xee});

  // A count of 0 travels as an empty list whatever the array pointer holds.
  qor_serverinfo stale = {{0, BINDINGS3}, nullptr, 0};
  qorobjects stale_members = {0, MEMBERS3};
  Call empty = values_of("createobj_request_printer");
  bytes a, b;
  ASSERT_EQ(
      qor_c_marshal_createobj_request(&empty.obj, &empty.assoc, 0, &stale, &stale_members, &a), 0u);
  ASSERT_EQ(marshal_request(QOR_OP_CREATEOBJ, empty, &b), 0u);
  EXPECT_EQ(a, b);
}

}  // namespace
