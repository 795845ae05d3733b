// Server stubs of ns_qor_if 1.1: one per operation, in procedure-number order,
// each an rpc_server_stub_t that the RPC runtime calls with the request stub
// data of a call (NDR 2.0, little-endian) and the interface's manager
// entry-point vector.
//
// A stub unmarshals the in parameters into memory of its own, calls the
// manager with them and with zeroed out records and scalars, releases the in
// data, marshals the out parameters and the result, and releases with
// NS__MIDL_user_free every string and array the manager put into the out
// records. The managers therefore keep no pointer into their in parameters,
// and must allocate their out data with malloc or NS__MIDL_user_allocate.
//
// Results (rpc_stub_result):
//   fault 0                        the reply stub data was appended to *out
//   NCA_S_FAULT_NDR, NCA_S_FAULT_INVALID_BOUND, NCA_S_FAULT_REMOTE_NO_MEMORY,
//   NCA_S_FAULT_ENUM_VALUE_OUT_OF_RANGE
//                                  with executed false: the request could not be
//                                  unmarshalled; the manager did not run
//   NCA_S_UNK_IF, executed false   the vector is null or lacks the manager
//   a fault with executed true     the manager ran but its out data could not be
//                                  marshalled (a negative count, a count without
//                                  its array, a class outside 0..32767, memory)
// *out is left as it was given whenever a fault is returned.
//
// The stubs hold no state and run on any number of call threads at once.
#pragma once

#include "platform/rpc/rpc_types.h"
#include "registry/objutil.h"

// The managers of ns_qor_if, as the server stubs call them. `ha` is the
// server binding handle of the call; no manager uses it and the stubs pass
// null. In parameters are the stub's and live for the call only; out
// parameters are storage of the stub, handed over zeroed. Every manager
// returns the service's int status, which travels as the call's result.
struct NS__sv_ns_qor_if_v1_1_epv_t {
  int (*qor_getdomain)(void* ha, char** domain);
  int (*qor_deleteobj)(void* ha, const qorobjid* obj);
  int (*qor_createobj)(void* ha, const qorobjid* obj, const qorobjid* assoc, int32_t force,
                       const qor_serverinfo* svinfo, const qorobjects* members, int32_t* created);
  int (*qor_getobj)(void* ha, const qorobjid* obj, qorobjid* server, rpcbinding* binding,
                    int32_t* supportauth, int* nsclass);
  int (*qor_listobj)(void* ha, const qorobjid* obj, qorobjects* objects);
  int (*qor_gethost)(void* ha, const qorobjid* obj, char** host);
  int (*qor_listdomain)(void* ha, const char* domain, domainlist* list);
  int (*qor_hello)(void* ha, const char* domain, char** host);
};

// Operation numbers.
constexpr uint32_t QOR_OP_GETDOMAIN = 0;
constexpr uint32_t QOR_OP_DELETEOBJ = 1;
constexpr uint32_t QOR_OP_CREATEOBJ = 2;
constexpr uint32_t QOR_OP_GETOBJ = 3;
constexpr uint32_t QOR_OP_LISTOBJ = 4;
constexpr uint32_t QOR_OP_GETHOST = 5;
constexpr uint32_t QOR_OP_LISTDOMAIN = 6;
constexpr uint32_t QOR_OP_HELLO = 7;
constexpr uint32_t QOR_OP_COUNT = 8;

rpc_stub_result ns_qor_if_qor_getdomain(const void* epv, const uint8_t* in, size_t in_len,
                                        std::vector<uint8_t>* out);
rpc_stub_result ns_qor_if_qor_deleteobj(const void* epv, const uint8_t* in, size_t in_len,
                                        std::vector<uint8_t>* out);
rpc_stub_result ns_qor_if_qor_createobj(const void* epv, const uint8_t* in, size_t in_len,
                                        std::vector<uint8_t>* out);
rpc_stub_result ns_qor_if_qor_getobj(const void* epv, const uint8_t* in, size_t in_len,
                                     std::vector<uint8_t>* out);
rpc_stub_result ns_qor_if_qor_listobj(const void* epv, const uint8_t* in, size_t in_len,
                                      std::vector<uint8_t>* out);
rpc_stub_result ns_qor_if_qor_gethost(const void* epv, const uint8_t* in, size_t in_len,
                                      std::vector<uint8_t>* out);
rpc_stub_result ns_qor_if_qor_listdomain(const void* epv, const uint8_t* in, size_t in_len,
                                         std::vector<uint8_t>* out);
rpc_stub_result ns_qor_if_qor_hello(const void* epv, const uint8_t* in, size_t in_len,
                                    std::vector<uint8_t>* out);

// The dispatch table, indexed by operation number.
extern const rpc_server_stub_t ns_qor_if_v1_1_server_stubs[QOR_OP_COUNT];

// ns_qor_if: b1da8d70-4984-11d0-b98c-00a0248df91a version 1.1.
inline constexpr rpc_syntax_id QOR_IF_SYNTAX = {
    {0xb1da8d70, 0x4984, 0x11d0, {0xb9, 0x8c, 0x00, 0xa0, 0x24, 0x8d, 0xf9, 0x1a}}, 1, 1};

// The interface as the runtime registers it: QOR_IF_SYNTAX, eight operations. Its default_epv is
// the request managers' vector, NS__qor_manager_epv (federation/qorop.h).
extern const rpc_server_interface NS__sv_ns_qor_if_v1_1_s_ifspec;
