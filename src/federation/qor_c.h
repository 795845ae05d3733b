// Client halves of the ns_qor_if 1.1 stubs, as pure functions: the request
// half turns the in parameters into request stub data, the reply half turns
// reply stub data into the out parameters and the call's result. The client
// stubs NS__cl_qor_<op> are built on them: marshal the request, send it on
// the binding with the operation's number (QOR_OP_<OP> of qor_s.h), hand the
// reply stub to the reply half, and raise the RPC status of a failure.
//
// Request halves append the stub data to *out (alignment counted from where
// it starts) and return 0, or an NCA status with *out as it was given:
//   NCA_S_FAULT_NDR              a null pointer where the interface has a [ref]
//                                pointer (obj, assoc, svinfo, members, domain)
//   NCA_S_FAULT_ENUM_VALUE_OUT_OF_RANGE  a class outside 0..32767
//   NCA_S_FAULT_INVALID_BOUND    a negative count, or a count without its array
//   NCA_S_FAULT_REMOTE_NO_MEMORY the buffer could not grow
//
// Reply halves set every out parameter empty first, then fill it with strings
// and arrays from NS__MIDL_user_allocate that belong to the caller (released
// with the records' NS__free_ operations, or handed on). They return 0 with
// *result set to the service's status, or an NCA status of the NDR reader
// (ndr.h) with every out parameter empty again and nothing allocated.
//
// No state; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "registry/objutil.h"

uint32_t qor_c_marshal_getdomain_request(std::vector<uint8_t>* out);
uint32_t qor_c_unmarshal_getdomain_reply(const uint8_t* in, size_t in_len, char** domain,
                                         int* result);

uint32_t qor_c_marshal_deleteobj_request(const qorobjid* obj, std::vector<uint8_t>* out);
uint32_t qor_c_unmarshal_deleteobj_reply(const uint8_t* in, size_t in_len, int* result);

uint32_t qor_c_marshal_createobj_request(const qorobjid* obj, const qorobjid* assoc, int32_t force,
                                         const qor_serverinfo* svinfo, const qorobjects* members,
                                         std::vector<uint8_t>* out);
uint32_t qor_c_unmarshal_createobj_reply(const uint8_t* in, size_t in_len, int32_t* created,
                                         int* result);

uint32_t qor_c_marshal_getobj_request(const qorobjid* obj, std::vector<uint8_t>* out);
uint32_t qor_c_unmarshal_getobj_reply(const uint8_t* in, size_t in_len, qorobjid* server,
                                      rpcbinding* binding, int32_t* supportauth, int* nsclass,
                                      int* result);

uint32_t qor_c_marshal_listobj_request(const qorobjid* obj, std::vector<uint8_t>* out);
uint32_t qor_c_unmarshal_listobj_reply(const uint8_t* in, size_t in_len, qorobjects* objects,
                                       int* result);

uint32_t qor_c_marshal_gethost_request(const qorobjid* obj, std::vector<uint8_t>* out);
uint32_t qor_c_unmarshal_gethost_reply(const uint8_t* in, size_t in_len, char** host, int* result);

uint32_t qor_c_marshal_listdomain_request(const char* domain, std::vector<uint8_t>* out);
uint32_t qor_c_unmarshal_listdomain_reply(const uint8_t* in, size_t in_len, domainlist* list,
                                          int* result);

uint32_t qor_c_marshal_hello_request(const char* domain, std::vector<uint8_t>* out);
uint32_t qor_c_unmarshal_hello_reply(const uint8_t* in, size_t in_len, char** host, int* result);

// ---- Client stubs ----
//
// NS__cl_qor_<op> calls the operation on the binding `ha` (rpc.h) and returns
// the service's status, with the out parameters filled as the reply halves
// above fill them. A call that does not complete raises rpc_exception with
// the RPC status (1722 unreachable, 1723 too busy, 1726 failed after the
// request went out, 1727 failed without running, 1717 unknown interface,
// ...); the out parameters are then empty. A request that cannot be
// marshalled raises the status of its NCA fault.
struct rpc_binding;
struct rpc_server_interface;

// The interface as its clients name it: the identity of ns_qor_if 1.1
// without server stubs or managers.
extern const rpc_server_interface NS__cl_ns_qor_if_v1_1_c_ifspec;

int NS__cl_qor_getdomain(rpc_binding* ha, char** domain);
int NS__cl_qor_deleteobj(rpc_binding* ha, const qorobjid* obj);
int NS__cl_qor_createobj(rpc_binding* ha, const qorobjid* obj, const qorobjid* assoc, int32_t force,
                         const qor_serverinfo* svinfo, const qorobjects* members, int32_t* created);
int NS__cl_qor_getobj(rpc_binding* ha, const qorobjid* obj, qorobjid* server, rpcbinding* binding,
                      int32_t* supportauth, int* nsclass);
int NS__cl_qor_listobj(rpc_binding* ha, const qorobjid* obj, qorobjects* objects);
int NS__cl_qor_gethost(rpc_binding* ha, const qorobjid* obj, char** host);
int NS__cl_qor_listdomain(rpc_binding* ha, const char* domain, domainlist* list);
int NS__cl_qor_hello(rpc_binding* ha, const char* domain, char** host);
