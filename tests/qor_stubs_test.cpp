// The ns_qor_if stubs against stub data marshalled by an independent NDR implementation (impacket;
// tests/vectors/gen_qor_vectors.py): every request and reply of the eight operations is produced
// byte for byte by our encoders (client request halves, server stubs) from the values the vector
// was built from, and what our decoders read from it (server stubs, client reply halves) encodes
// back to the same bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "federation/qor_c.h"
#include "federation/qor_ndr.h"
#include "federation/qor_s.h"
#include "federation/user_mem.h"
#include "rpc_vectors.h"

namespace {

using bytes = rpc_bytes;

const std::map<std::string, rpc_vector>& vectors() { return rpc_vectors("qor_vectors.txt"); }

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
const std::map<std::string, Call>& cases() {
  static const std::map<std::string, Call> c = {
      {"getdomain_request", {}},
      {"getdomain_reply", {.out_string = s("SALES")}},
      {"getdomain_reply_null", {.result = 14}},
      {"deleteobj_request", {.obj = {3, s("spool1"), nullptr}}},
      {"deleteobj_reply", {.result = 15}},
      {"createobj_request_server",
       {.obj = {3, s("spool1"), s("SALES")},
        .assoc = NO_OBJECT,
        .force = 1,
        .svinfo = {{3, BINDINGS3}, s("hostA"), 7}}},
      {"createobj_request_group",
       {.obj = {8, s("grp"), nullptr}, .assoc = NO_OBJECT, .members = {2, MEMBERS3}}},
      {"createobj_request_printer",
       {.obj = {0, s("lp1"), s("sales")}, .assoc = {3, s("spool1"), nullptr}}},
      {"createobj_reply", {.created = 1}},
      {"getobj_request", {.obj = {0, s("lp1"), nullptr}}},
      {"getobj_reply_three_bindings",
       {.server = {3, s("spool1"), s("SALES")},
        .binding = {3, BINDINGS3},
        .supportauth = 7,
        .nsclass = 3}},
      {"getobj_reply_none", {.server = NO_OBJECT, .nsclass = 10, .result = 15}},
      {"getobj_reply_null_binding",
       {.server = {4, s("sv"), nullptr},
        .binding = {2, NULL_BINDING},
        .supportauth = -1,
        .nsclass = 4}},
      {"listobj_request", {.obj = {2, nullptr, s("SALES")}}},
      {"listobj_reply", {.objects = {3, MEMBERS3}}},
      {"listobj_reply_empty", {.result = 15}},
      {"gethost_request", {.obj = {6, s("queue-7"), nullptr}}},
      {"gethost_reply", {.out_string = s("hostA")}},
      {"gethost_reply_null", {.result = 11}},
      {"listdomain_request_empty", {.domain_in = ""}},
      {"listdomain_request", {.domain_in = "SALES"}},
      {"listdomain_reply", {.list = {3, DOMAINS}}},
      {"listdomain_reply_empty", {.result = 18}},
      {"hello_request", {.domain_in = "SALES"}},
      {"hello_reply", {.out_string = s("10.1.2.3")}},
      {"hello_reply_null", {.result = 19}},
  };
  return c;
}

bool is_request(const std::string& name) { return name.find("_request") != std::string::npos; }

// A request vector of the given operation, to drive a server stub to a reply.
const bytes& request_of(uint32_t opnum) {
  for (const auto& [name, v] : vectors())
    if (v.opnum == opnum && is_request(name)) return v.data;
  static const bytes none;
  return none;
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

void expect_outs_empty(const Call& c) {
  EXPECT_TRUE(!c.out_string && !c.server.name && !c.server.domain && !c.binding.val &&
              !c.objects.val && !c.list.val);
}

// ---------------------------------------------------------------- test managers

// The managers answer from *current and keep what they were given, marshalled
// again by the client half of their operation (pinned by the vectors itself).
thread_local Call* current = nullptr;
thread_local int calls = 0;
thread_local bytes seen_in;

int saw(uint32_t opnum, const Call& in) {
  ++calls;
  seen_in.clear();
  EXPECT_EQ(marshal_request(opnum, in, &seen_in), 0u);
  return current->result;
}

char* dup(const char* p) { return p != nullptr ? strdup(p) : nullptr; }
qorobjid dup(const qorobjid& o) { return {o.nsclass, dup(o.name), dup(o.domain)}; }
// Strings or identities; an empty list is {0, null}, a bad one keeps its count.
template <typename T>
T* dup(int32_t len, const T* val) {
  if (len <= 0 || val == nullptr) return nullptr;
  T* out = static_cast<T*>(NS__MIDL_user_allocate(len * sizeof(T)));
  for (int32_t i = 0; i < len; ++i) out[i] = dup(val[i]);
  return out;
}

int m_getdomain(void*, char** domain) {
  *domain = dup(current->out_string);
  return saw(QOR_OP_GETDOMAIN, {});
}
int m_deleteobj(void*, const qorobjid* obj) { return saw(QOR_OP_DELETEOBJ, {.obj = *obj}); }
int m_createobj(void*, const qorobjid* obj, const qorobjid* assoc, int32_t force,
                const qor_serverinfo* svinfo, const qorobjects* members, int32_t* created) {
  *created = current->created;
  return saw(
      QOR_OP_CREATEOBJ,
      {.obj = *obj, .assoc = *assoc, .force = force, .svinfo = *svinfo, .members = *members});
}
int m_getobj(void*, const qorobjid* obj, qorobjid* server, rpcbinding* binding,
             int32_t* supportauth, int* nsclass) {
  *server = dup(current->server);
  *binding = {current->binding.len, dup(current->binding.len, current->binding.val)};
  *supportauth = current->supportauth;
  *nsclass = current->nsclass;
  return saw(QOR_OP_GETOBJ, {.obj = *obj});
}
int m_listobj(void*, const qorobjid* obj, qorobjects* objects) {
  *objects = {current->objects.len, dup(current->objects.len, current->objects.val)};
  return saw(QOR_OP_LISTOBJ, {.obj = *obj});
}
int m_gethost(void*, const qorobjid* obj, char** host) {
  *host = dup(current->out_string);
  return saw(QOR_OP_GETHOST, {.obj = *obj});
}
int m_listdomain(void*, const char* domain, domainlist* list) {
  *list = {current->list.len, dup(current->list.len, current->list.val)};
  return saw(QOR_OP_LISTDOMAIN, {.domain_in = domain});
}
int m_hello(void*, const char* domain, char** host) {
  *host = dup(current->out_string);
  return saw(QOR_OP_HELLO, {.domain_in = domain});
}

const NS__sv_ns_qor_if_v1_1_epv_t TEST_EPV = {m_getdomain, m_deleteobj, m_createobj,  m_getobj,
                                              m_listobj,   m_gethost,   m_listdomain, m_hello};

// Runs a server stub on `in` with the managers answering from *reply.
rpc_stub_result serve(uint32_t opnum, const bytes& in, Call* reply, bytes* out) {
  current = reply;
  seen_in.clear();
  calls = 0;
  const rpc_server_interface& itf = NS__sv_ns_qor_if_v1_1_s_ifspec;
  return itf.stubs[opnum](&TEST_EPV, in.data(), in.size(), out);
}

// ---------------------------------------------------------------- tests

TEST(QorStubVectors, RequestsMarshalExactlyReachTheManagerWholeAndNeverCut) {
  ASSERT_EQ(vectors().size(), cases().size());
  for (const auto& [name, v] : vectors()) {
    if (!is_request(name)) continue;
    SCOPED_TRACE(name);
    bytes mine;
    ASSERT_EQ(marshal_request(v.opnum, cases().at(name), &mine), 0u);
    EXPECT_EQ(mine, v.data);

    Call reply;
    bytes out;
    rpc_stub_result r = serve(v.opnum, v.data, &reply, &out);
    EXPECT_EQ(r.fault, 0u);
    EXPECT_TRUE(r.executed);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(seen_in, v.data);
    for (size_t n = 0; n < v.data.size(); ++n) {  // cut short, it never reaches the manager
      bytes cut(v.data.begin(), v.data.begin() + static_cast<long>(n)), none;
      r = serve(v.opnum, cut, &reply, &none);
      EXPECT_EQ(r.fault, NCA_S_FAULT_NDR) << n;
      EXPECT_FALSE(r.executed || calls != 0 || !none.empty()) << n;
    }
  }
}

TEST(QorStubVectors, RepliesMarshalExactlyAndReadBackWholeAndNeverCut) {
  for (const auto& [name, v] : vectors()) {
    if (is_request(name)) continue;
    SCOPED_TRACE(name);
    Call want = cases().at(name);
    bytes out = {0xee, 0xee};  // the runtime's own bytes before the stub stay
    ASSERT_EQ(serve(v.opnum, request_of(v.opnum), &want, &out).fault, 0u);
    EXPECT_EQ(bytes(out.begin() + 2, out.end()), v.data);

    Call got;
    ASSERT_EQ(unmarshal_reply(v.opnum, v.data, &got), 0u);
    out.clear();
    ASSERT_EQ(serve(v.opnum, request_of(v.opnum), &got, &out).fault, 0u);
    EXPECT_EQ(out, v.data);
    free_outs(&got);
    for (size_t n = 0; n < v.data.size(); ++n) {  // cut short, it leaves no out parameter
      Call cut;
      bytes in(v.data.begin(), v.data.begin() + static_cast<long>(n));
      EXPECT_EQ(unmarshal_reply(v.opnum, in, &cut), NCA_S_FAULT_NDR) << n;
      expect_outs_empty(cut);
    }
  }
}

TEST(QorStubs, MemoryExhaustionAtEveryStep) {
  const rpc_vector& request = vectors().at("createobj_request_server");
  Call want = cases().at("createobj_reply");
  for_each_alloc_failure([&] {
    bytes out;
    rpc_stub_result r = serve(request.opnum, request.data, &want, &out);
    if (r.fault == 0) return true;
    EXPECT_EQ(r.fault, NCA_S_FAULT_REMOTE_NO_MEMORY);
    EXPECT_FALSE(r.executed);
    EXPECT_EQ(calls, 0);
    return false;
  });
  const rpc_vector& reply = vectors().at("getobj_reply_three_bindings");
  for_each_alloc_failure([&] {
    Call got;
    uint32_t status = unmarshal_reply(reply.opnum, reply.data, &got);
    if (status == 0) {
      free_outs(&got);
      return true;
    }
    EXPECT_EQ(status, NCA_S_FAULT_REMOTE_NO_MEMORY);
    expect_outs_empty(got);
    return false;
  });
}

TEST(QorStubs, HostileCountsAreRefused) {
  struct {
    const char* what;
    const char* hex;
    uint32_t fault;
  } cases[] = {
      // listdomain replies: len, array id, [max count, ids...], strings, result.
      {"a count without its array", "03000000 00000000 00000000", NCA_S_FAULT_INVALID_BOUND},
      {"a negative count", "ffffffff 00000000 00000000", NCA_S_FAULT_INVALID_BOUND},
      {"maximum count above the count", "01000000 00000200 02000000 00000000 00000000",
       NCA_S_FAULT_INVALID_BOUND},
      {"a million strings claimed", "40420f00 00000200 40420f00 00000000", NCA_S_FAULT_NDR},
      // An empty list may come with an array of maximum count 0: still empty.
      {"an empty array", "00000000 00000200 00000000 00000000", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Call got;
    EXPECT_EQ(unmarshal_reply(QOR_OP_LISTDOMAIN, rpc_hex(c.hex), &got), c.fault);
    expect_outs_empty(got);
    EXPECT_EQ(got.list.len, 0);
  }
}

}  // namespace
