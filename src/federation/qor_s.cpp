#include "federation/qor_s.h"

#include "federation/qor_ndr.h"
#include "federation/qorop.h"
#include "federation/user_mem.h"
#include "platform/rpc/ndr.h"

namespace {

const NS__sv_ns_qor_if_v1_1_epv_t* vector_of(const void* epv) {
  return static_cast<const NS__sv_ns_qor_if_v1_1_epv_t*>(epv);
}

constexpr rpc_stub_result NO_MANAGER = {NCA_S_UNK_IF, false};

// The request could not be read: nothing ran, nothing is kept.
rpc_stub_result unmarshal_fault(ndr_reader* r) {
  uint32_t status = r->status != 0 ? r->status : NCA_S_FAULT_NDR;
  ndr_reader_release(r);
  return {status, false};
}

// Reads one top-level [ref] record parameter into zeroed storage.
bool get_param(ndr_reader* r, void* param, const ndr_type* type) {
  return ndr_get_record(r, param, type);
}

// Ends a reply: on a marshalling failure the partial reply is dropped, back to
// where the writer started.
rpc_stub_result finish(ndr_writer* w) {
  if (w->status != 0) {
    w->out->resize(w->origin);
    return {w->status, true};
  }
  return {0, true};
}

}  // namespace

rpc_stub_result ns_qor_if_qor_getdomain(const void* epv, const uint8_t* /*in*/, size_t /*in_len*/,
                                        std::vector<uint8_t>* out) {
  const NS__sv_ns_qor_if_v1_1_epv_t* v = vector_of(epv);
  if (v == nullptr || v->qor_getdomain == nullptr) return NO_MANAGER;
  char* domain = nullptr;
  int result = v->qor_getdomain(nullptr, &domain);

  ndr_writer w;
  ndr_writer_init(&w, out);
  qor_ndr_put_out_string(&w, domain);
  ndr_put_i32(&w, result);
  NS__MIDL_user_free(domain);
  return finish(&w);
}

rpc_stub_result ns_qor_if_qor_deleteobj(const void* epv, const uint8_t* in, size_t in_len,
                                        std::vector<uint8_t>* out) {
  const NS__sv_ns_qor_if_v1_1_epv_t* v = vector_of(epv);
  if (v == nullptr || v->qor_deleteobj == nullptr) return NO_MANAGER;
  ndr_reader r;
  qor_ndr_reader_init(&r, in, in_len);
  qorobjid obj = {};
  if (!get_param(&r, &obj, &QOR_NDR_QOROBJID)) return unmarshal_fault(&r);
  int result = v->qor_deleteobj(nullptr, &obj);
  ndr_reader_release(&r);

  ndr_writer w;
  ndr_writer_init(&w, out);
  ndr_put_i32(&w, result);
  return finish(&w);
}

rpc_stub_result ns_qor_if_qor_createobj(const void* epv, const uint8_t* in, size_t in_len,
                                        std::vector<uint8_t>* out) {
  const NS__sv_ns_qor_if_v1_1_epv_t* v = vector_of(epv);
  if (v == nullptr || v->qor_createobj == nullptr) return NO_MANAGER;
  ndr_reader r;
  qor_ndr_reader_init(&r, in, in_len);
  qorobjid obj = {}, assoc = {};
  int32_t force = 0;
  qor_serverinfo svinfo = {};
  qorobjects members = {};
  if (!get_param(&r, &obj, &QOR_NDR_QOROBJID) || !get_param(&r, &assoc, &QOR_NDR_QOROBJID) ||
      !ndr_get_i32(&r, &force) || !get_param(&r, &svinfo, &QOR_NDR_SERVERINFO) ||
      !get_param(&r, &members, &QOR_NDR_QOROBJECTS)) {
    return unmarshal_fault(&r);
  }
  int32_t created = 0;
  int result = v->qor_createobj(nullptr, &obj, &assoc, force, &svinfo, &members, &created);
  ndr_reader_release(&r);

  ndr_writer w;
  ndr_writer_init(&w, out);
  ndr_put_i32(&w, created);
  ndr_put_i32(&w, result);
  return finish(&w);
}

rpc_stub_result ns_qor_if_qor_getobj(const void* epv, const uint8_t* in, size_t in_len,
                                     std::vector<uint8_t>* out) {
  const NS__sv_ns_qor_if_v1_1_epv_t* v = vector_of(epv);
  if (v == nullptr || v->qor_getobj == nullptr) return NO_MANAGER;
  ndr_reader r;
  qor_ndr_reader_init(&r, in, in_len);
  qorobjid obj = {};
  if (!get_param(&r, &obj, &QOR_NDR_QOROBJID)) return unmarshal_fault(&r);
  qorobjid server = {};
  rpcbinding binding = {};
  int32_t supportauth = 0;
  int nsclass = NS_CLASS_NONE;  // what a manager answering 5 leaves unset
  int result = v->qor_getobj(nullptr, &obj, &server, &binding, &supportauth, &nsclass);
  ndr_reader_release(&r);

  ndr_writer w;
  ndr_writer_init(&w, out);
  ndr_put_record(&w, &server, &QOR_NDR_QOROBJID);
  ndr_put_record(&w, &binding, &QOR_NDR_RPCBINDING);
  ndr_put_i32(&w, supportauth);
  ndr_put_enum16(&w, nsclass);
  ndr_put_i32(&w, result);
  qor_ndr_free_qorobjid(&server);
  qor_ndr_free_strings(binding.len, binding.val);
  return finish(&w);
}

rpc_stub_result ns_qor_if_qor_listobj(const void* epv, const uint8_t* in, size_t in_len,
                                      std::vector<uint8_t>* out) {
  const NS__sv_ns_qor_if_v1_1_epv_t* v = vector_of(epv);
  if (v == nullptr || v->qor_listobj == nullptr) return NO_MANAGER;
  ndr_reader r;
  qor_ndr_reader_init(&r, in, in_len);
  qorobjid obj = {};
  if (!get_param(&r, &obj, &QOR_NDR_QOROBJID)) return unmarshal_fault(&r);
  qorobjects objects = {};
  int result = v->qor_listobj(nullptr, &obj, &objects);
  ndr_reader_release(&r);

  ndr_writer w;
  ndr_writer_init(&w, out);
  ndr_put_record(&w, &objects, &QOR_NDR_QOROBJECTS);
  ndr_put_i32(&w, result);
  qor_ndr_free_qorobjects(&objects);
  return finish(&w);
}

rpc_stub_result ns_qor_if_qor_gethost(const void* epv, const uint8_t* in, size_t in_len,
                                      std::vector<uint8_t>* out) {
  const NS__sv_ns_qor_if_v1_1_epv_t* v = vector_of(epv);
  if (v == nullptr || v->qor_gethost == nullptr) return NO_MANAGER;
  ndr_reader r;
  qor_ndr_reader_init(&r, in, in_len);
  qorobjid obj = {};
  if (!get_param(&r, &obj, &QOR_NDR_QOROBJID)) return unmarshal_fault(&r);
  char* host = nullptr;
  int result = v->qor_gethost(nullptr, &obj, &host);
  ndr_reader_release(&r);

  ndr_writer w;
  ndr_writer_init(&w, out);
  qor_ndr_put_out_string(&w, host);
  ndr_put_i32(&w, result);
  NS__MIDL_user_free(host);
  return finish(&w);
}

rpc_stub_result ns_qor_if_qor_listdomain(const void* epv, const uint8_t* in, size_t in_len,
                                         std::vector<uint8_t>* out) {
  const NS__sv_ns_qor_if_v1_1_epv_t* v = vector_of(epv);
  if (v == nullptr || v->qor_listdomain == nullptr) return NO_MANAGER;
  ndr_reader r;
  qor_ndr_reader_init(&r, in, in_len);
  char* domain = nullptr;
  if (!ndr_get_string(&r, &domain)) return unmarshal_fault(&r);
  domainlist list = {};
  int result = v->qor_listdomain(nullptr, domain, &list);
  ndr_reader_release(&r);

  ndr_writer w;
  ndr_writer_init(&w, out);
  ndr_put_record(&w, &list, &QOR_NDR_DOMAINLIST);
  ndr_put_i32(&w, result);
  qor_ndr_free_strings(list.len, list.val);
  return finish(&w);
}

rpc_stub_result ns_qor_if_qor_hello(const void* epv, const uint8_t* in, size_t in_len,
                                    std::vector<uint8_t>* out) {
  const NS__sv_ns_qor_if_v1_1_epv_t* v = vector_of(epv);
  if (v == nullptr || v->qor_hello == nullptr) return NO_MANAGER;
  ndr_reader r;
  qor_ndr_reader_init(&r, in, in_len);
  char* domain = nullptr;
  if (!ndr_get_string(&r, &domain)) return unmarshal_fault(&r);
  char* host = nullptr;
  int result = v->qor_hello(nullptr, domain, &host);
  ndr_reader_release(&r);

  ndr_writer w;
  ndr_writer_init(&w, out);
  qor_ndr_put_out_string(&w, host);
  ndr_put_i32(&w, result);
  NS__MIDL_user_free(host);
  return finish(&w);
}

const rpc_server_stub_t ns_qor_if_v1_1_server_stubs[QOR_OP_COUNT] = {
    ns_qor_if_qor_getdomain,  ns_qor_if_qor_deleteobj, ns_qor_if_qor_createobj,
    ns_qor_if_qor_getobj,     ns_qor_if_qor_listobj,   ns_qor_if_qor_gethost,
    ns_qor_if_qor_listdomain, ns_qor_if_qor_hello,
};

const rpc_server_interface NS__sv_ns_qor_if_v1_1_s_ifspec = {
    QOR_IF_SYNTAX,
    QOR_OP_COUNT,
    ns_qor_if_v1_1_server_stubs,
    &NS__qor_manager_epv,
};
