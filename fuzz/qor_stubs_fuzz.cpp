// Feeds arbitrary stub data to the ns_qor_if stubs: the first byte chooses
// the operation, the rest is given to its server stub as request stub data
// (with managers that answer fixed results) and to its client reply half as
// reply stub data. Neither may crash, leak or allocate beyond the input.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "federation/qor_c.h"
#include "federation/qor_ndr.h"
#include "federation/qor_s.h"
#include "federation/user_mem.h"

namespace {

char* dup(const char* s) {
  size_t n = strlen(s) + 1;
  char* c = static_cast<char*>(NS__MIDL_user_allocate(n));
  if (c != nullptr) memcpy(c, s, n);
  return c;
}

char** dup_list(int32_t len) {
  char** val = static_cast<char**>(NS__MIDL_user_allocate(len * sizeof(char*)));
  for (int32_t i = 0; val != nullptr && i < len; ++i) val[i] = dup("ncacn_ip_tcp:10.1.2.3[49664]");
  return val;
}

int getdomain(void*, char** domain) {
  *domain = dup("SALES");
  return 0;
}
int deleteobj(void*, const qorobjid*) { return 15; }
int createobj(void*, const qorobjid*, const qorobjid*, int32_t, const qor_serverinfo*,
              const qorobjects*, int32_t* created) {
  *created = 1;
  return 0;
}
int getobj(void*, const qorobjid*, qorobjid* server, rpcbinding* binding, int32_t* supportauth,
           int* nsclass) {
  *server = {3, dup("spool1"), nullptr};
  *binding = {3, dup_list(3)};
  *supportauth = 7;
  *nsclass = 3;
  return 0;
}
int listobj(void*, const qorobjid*, qorobjects* objects) {
  qorobjid* val = static_cast<qorobjid*>(NS__MIDL_user_allocate(2 * sizeof(qorobjid)));
  val[0] = {0, dup("lp1"), nullptr};
  val[1] = {6, dup("q1"), dup("SALES")};
  *objects = {2, val};
  return 0;
}
int gethost(void*, const qorobjid*, char** host) {
  *host = nullptr;
  return 11;
}
int listdomain(void*, const char*, domainlist* list) {
  *list = {2, dup_list(2)};
  return 0;
}
int hello(void*, const char*, char** host) {
  *host = dup("10.1.2.3");
  return 0;
}

const NS__sv_ns_qor_if_v1_1_epv_t FIXED = {getdomain, deleteobj, createobj,  getobj,
                                           listobj,   gethost,   listdomain, hello};

void client_half(uint32_t op, const uint8_t* p, size_t n) {
  char* s = nullptr;
  int32_t i32 = 0;
  int result = 0, nsclass = 0;
  qorobjid server = {};
  rpcbinding binding = {};
  qorobjects objects = {};
  domainlist list = {};
  switch (op) {
    case QOR_OP_GETDOMAIN:
      qor_c_unmarshal_getdomain_reply(p, n, &s, &result);
      break;
    case QOR_OP_DELETEOBJ:
      qor_c_unmarshal_deleteobj_reply(p, n, &result);
      break;
    case QOR_OP_CREATEOBJ:
      qor_c_unmarshal_createobj_reply(p, n, &i32, &result);
      break;
    case QOR_OP_GETOBJ:
      qor_c_unmarshal_getobj_reply(p, n, &server, &binding, &i32, &nsclass, &result);
      break;
    case QOR_OP_LISTOBJ:
      qor_c_unmarshal_listobj_reply(p, n, &objects, &result);
      break;
    case QOR_OP_GETHOST:
      qor_c_unmarshal_gethost_reply(p, n, &s, &result);
      break;
    case QOR_OP_LISTDOMAIN:
      qor_c_unmarshal_listdomain_reply(p, n, &list, &result);
      break;
    default:
      qor_c_unmarshal_hello_reply(p, n, &s, &result);
      break;
  }
  NS__MIDL_user_free(s);
  qor_ndr_free_qorobjid(&server);
  qor_ndr_free_strings(binding.len, binding.val);
  qor_ndr_free_qorobjects(&objects);
  qor_ndr_free_strings(list.len, list.val);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  uint32_t op = data[0] % QOR_OP_COUNT;
  std::vector<uint8_t> out;
  rpc_stub_result r = NS__sv_ns_qor_if_v1_1_s_ifspec.stubs[op](&FIXED, data + 1, size - 1, &out);
  // A fault leaves no reply behind; a reply always ends in the 4-byte result.
  if ((r.fault != 0) != out.empty()) abort();
  if (r.fault != 0 && r.executed) abort();  // the fixed managers' data always travels
  client_half(op, data + 1, size - 1);
  return 0;
}
