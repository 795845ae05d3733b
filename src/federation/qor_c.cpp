#include "federation/qor_c.h"

#include "federation/qor_ndr.h"
#include "federation/qor_s.h"
#include "platform/rpc/assoc.h"
#include "platform/rpc/ndr.h"
#include "platform/rpc/rpc.h"

namespace {

// A top-level [ref] parameter: present, or the request cannot be made.
void put_ref_record(ndr_writer* w, const void* param, const ndr_type* type) {
  if (param == nullptr) return ndr_writer_fail(w, NCA_S_FAULT_NDR);
  ndr_put_record(w, param, type);
}

// Ends a request: on a marshalling failure the partial request is dropped,
// back to where the writer started.
uint32_t finish_request(ndr_writer* w) {
  if (w->status != 0) w->out->resize(w->origin);
  return w->status;
}

// The call's result, the last 4 bytes of every reply.
bool get_result(ndr_reader* r, int* result) {
  int32_t status = 0;
  if (!ndr_get_i32(r, &status)) return false;
  *result = status;
  return true;
}

// Ends a reply: hands the blocks to the out parameters, or frees them all
// (the caller then empties the out parameters).
uint32_t finish_reply(ndr_reader* r, bool ok) {
  if (ok) {
    ndr_reader_commit(r);
    return 0;
  }
  ndr_reader_release(r);
  return r->status != 0 ? r->status : NCA_S_FAULT_NDR;
}

}  // namespace

uint32_t qor_c_marshal_getdomain_request(std::vector<uint8_t>* /*out*/) { return 0; }

uint32_t qor_c_unmarshal_getdomain_reply(const uint8_t* in, size_t in_len, char** domain,
                                         int* result) {
  *domain = nullptr;
  ndr_reader r;
  qor_ndr_reader_init(&r, in, in_len);
  bool ok = qor_ndr_get_out_string(&r, domain) && get_result(&r, result);
  uint32_t status = finish_reply(&r, ok);
  if (status != 0) *domain = nullptr;
  return status;
}

uint32_t qor_c_marshal_deleteobj_request(const qorobjid* obj, std::vector<uint8_t>* out) {
  ndr_writer w;
  ndr_writer_init(&w, out);
  put_ref_record(&w, obj, &QOR_NDR_QOROBJID);
  return finish_request(&w);
}

uint32_t qor_c_unmarshal_deleteobj_reply(const uint8_t* in, size_t in_len, int* result) {
  ndr_reader r;
  qor_ndr_reader_init(&r, in, in_len);
  return finish_reply(&r, get_result(&r, result));
}

uint32_t qor_c_marshal_createobj_request(const qorobjid* obj, const qorobjid* assoc, int32_t force,
                                         const qor_serverinfo* svinfo, const qorobjects* members,
                                         std::vector<uint8_t>* out) {
  ndr_writer w;
  ndr_writer_init(&w, out);
  put_ref_record(&w, obj, &QOR_NDR_QOROBJID);
  put_ref_record(&w, assoc, &QOR_NDR_QOROBJID);
  ndr_put_i32(&w, force);
  put_ref_record(&w, svinfo, &QOR_NDR_SERVERINFO);
  put_ref_record(&w, members, &QOR_NDR_QOROBJECTS);
  return finish_request(&w);
}

uint32_t qor_c_unmarshal_createobj_reply(const uint8_t* in, size_t in_len, int32_t* created,
                                         int* result) {
  *created = 0;
  ndr_reader r;
  qor_ndr_reader_init(&r, in, in_len);
  bool ok = ndr_get_i32(&r, created) && get_result(&r, result);
  uint32_t status = finish_reply(&r, ok);
  if (status != 0) *created = 0;
  return status;
}

uint32_t qor_c_marshal_getobj_request(const qorobjid* obj, std::vector<uint8_t>* out) {
  return qor_c_marshal_deleteobj_request(obj, out);  // the same single [in] identity
}

uint32_t qor_c_unmarshal_getobj_reply(const uint8_t* in, size_t in_len, qorobjid* server,
                                      rpcbinding* binding, int32_t* supportauth, int* nsclass,
                                      int* result) {
  *server = {};
  *binding = {};
  *supportauth = 0;
  *nsclass = 0;
  ndr_reader r;
  qor_ndr_reader_init(&r, in, in_len);
  bool ok = ndr_get_record(&r, server, &QOR_NDR_QOROBJID) &&
            ndr_get_record(&r, binding, &QOR_NDR_RPCBINDING) && ndr_get_i32(&r, supportauth) &&
            ndr_get_enum16(&r, nsclass) && get_result(&r, result);
  uint32_t status = finish_reply(&r, ok);
  if (status != 0) {
    *server = {};
    *binding = {};
    *supportauth = 0;
    *nsclass = 0;
  }
  return status;
}

uint32_t qor_c_marshal_listobj_request(const qorobjid* obj, std::vector<uint8_t>* out) {
  return qor_c_marshal_deleteobj_request(obj, out);
}

uint32_t qor_c_unmarshal_listobj_reply(const uint8_t* in, size_t in_len, qorobjects* objects,
                                       int* result) {
  *objects = {};
  ndr_reader r;
  qor_ndr_reader_init(&r, in, in_len);
  bool ok = ndr_get_record(&r, objects, &QOR_NDR_QOROBJECTS) && get_result(&r, result);
  uint32_t status = finish_reply(&r, ok);
  if (status != 0) *objects = {};
  return status;
}

uint32_t qor_c_marshal_gethost_request(const qorobjid* obj, std::vector<uint8_t>* out) {
  return qor_c_marshal_deleteobj_request(obj, out);
}

uint32_t qor_c_unmarshal_gethost_reply(const uint8_t* in, size_t in_len, char** host, int* result) {
  return qor_c_unmarshal_getdomain_reply(in, in_len, host, result);  // the same reply shape
}

uint32_t qor_c_marshal_listdomain_request(const char* domain, std::vector<uint8_t>* out) {
  ndr_writer w;
  ndr_writer_init(&w, out);
  ndr_put_string(&w, domain);  // a [ref] string: null fails
  return finish_request(&w);
}

uint32_t qor_c_unmarshal_listdomain_reply(const uint8_t* in, size_t in_len, domainlist* list,
                                          int* result) {
  *list = {};
  ndr_reader r;
  qor_ndr_reader_init(&r, in, in_len);
  bool ok = ndr_get_record(&r, list, &QOR_NDR_DOMAINLIST) && get_result(&r, result);
  uint32_t status = finish_reply(&r, ok);
  if (status != 0) *list = {};
  return status;
}

uint32_t qor_c_marshal_hello_request(const char* domain, std::vector<uint8_t>* out) {
  return qor_c_marshal_listdomain_request(domain, out);
}

uint32_t qor_c_unmarshal_hello_reply(const uint8_t* in, size_t in_len, char** host, int* result) {
  return qor_c_unmarshal_getdomain_reply(in, in_len, host, result);
}

// ---- Client stubs ----

const rpc_server_interface NS__cl_ns_qor_if_v1_1_c_ifspec = {QOR_IF_SYNTAX, QOR_OP_COUNT, nullptr,
                                                             nullptr};

namespace {

// Sends a marshalled request on the binding and leaves the reply stub in
// *reply; raises the status of a failure. `marshalled` is the request half's
// result: a request that could not be built is not sent.
void call(rpc_binding* ha, uint32_t opnum, uint32_t marshalled, const std::vector<uint8_t>& request,
          std::vector<uint8_t>* reply) {
  if (marshalled != 0) throw rpc_exception(rpc_nca_to_status(marshalled));
  RPC_STATUS st = rpc_binding_call(ha, &NS__cl_ns_qor_if_v1_1_c_ifspec,
                                   static_cast<uint16_t>(opnum), request, reply);
  if (st != RPC_S_OK) throw rpc_exception(st);
}

// Raises the status of a reply that did not unmarshal (the reply half has
// emptied the out parameters).
void check_reply(uint32_t unmarshalled) {
  if (unmarshalled != 0) throw rpc_exception(rpc_nca_to_status(unmarshalled));
}

}  // namespace

int NS__cl_qor_getdomain(rpc_binding* ha, char** domain) {
  *domain = nullptr;
  std::vector<uint8_t> req, rep;
  call(ha, QOR_OP_GETDOMAIN, qor_c_marshal_getdomain_request(&req), req, &rep);
  int result = 0;
  check_reply(qor_c_unmarshal_getdomain_reply(rep.data(), rep.size(), domain, &result));
  return result;
}

int NS__cl_qor_deleteobj(rpc_binding* ha, const qorobjid* obj) {
  std::vector<uint8_t> req, rep;
  call(ha, QOR_OP_DELETEOBJ, qor_c_marshal_deleteobj_request(obj, &req), req, &rep);
  int result = 0;
  check_reply(qor_c_unmarshal_deleteobj_reply(rep.data(), rep.size(), &result));
  return result;
}

int NS__cl_qor_createobj(rpc_binding* ha, const qorobjid* obj, const qorobjid* assoc, int32_t force,
                         const qor_serverinfo* svinfo, const qorobjects* members,
                         int32_t* created) {
  *created = 0;
  std::vector<uint8_t> req, rep;
  call(ha, QOR_OP_CREATEOBJ,
       qor_c_marshal_createobj_request(obj, assoc, force, svinfo, members, &req), req, &rep);
  int result = 0;
  check_reply(qor_c_unmarshal_createobj_reply(rep.data(), rep.size(), created, &result));
  return result;
}

int NS__cl_qor_getobj(rpc_binding* ha, const qorobjid* obj, qorobjid* server, rpcbinding* binding,
                      int32_t* supportauth, int* nsclass) {
  *server = {};
  *binding = {};
  *supportauth = 0;
  *nsclass = 0;
  std::vector<uint8_t> req, rep;
  call(ha, QOR_OP_GETOBJ, qor_c_marshal_getobj_request(obj, &req), req, &rep);
  int result = 0;
  check_reply(qor_c_unmarshal_getobj_reply(rep.data(), rep.size(), server, binding, supportauth,
                                           nsclass, &result));
  return result;
}

int NS__cl_qor_listobj(rpc_binding* ha, const qorobjid* obj, qorobjects* objects) {
  *objects = {};
  std::vector<uint8_t> req, rep;
  call(ha, QOR_OP_LISTOBJ, qor_c_marshal_listobj_request(obj, &req), req, &rep);
  int result = 0;
  check_reply(qor_c_unmarshal_listobj_reply(rep.data(), rep.size(), objects, &result));
  return result;
}

int NS__cl_qor_gethost(rpc_binding* ha, const qorobjid* obj, char** host) {
  *host = nullptr;
  std::vector<uint8_t> req, rep;
  call(ha, QOR_OP_GETHOST, qor_c_marshal_gethost_request(obj, &req), req, &rep);
  int result = 0;
  check_reply(qor_c_unmarshal_gethost_reply(rep.data(), rep.size(), host, &result));
  return result;
}

int NS__cl_qor_listdomain(rpc_binding* ha, const char* domain, domainlist* list) {
  *list = {};
  std::vector<uint8_t> req, rep;
  call(ha, QOR_OP_LISTDOMAIN, qor_c_marshal_listdomain_request(domain, &req), req, &rep);
  int result = 0;
  check_reply(qor_c_unmarshal_listdomain_reply(rep.data(), rep.size(), list, &result));
  return result;
}

int NS__cl_qor_hello(rpc_binding* ha, const char* domain, char** host) {
  *host = nullptr;
  std::vector<uint8_t> req, rep;
  call(ha, QOR_OP_HELLO, qor_c_marshal_hello_request(domain, &req), req, &rep);
  int result = 0;
  check_reply(qor_c_unmarshal_hello_reply(rep.data(), rep.size(), host, &result));
  return result;
}
