// The DCE/RPC runtime and name service as the service calls them, under their
// Win32 names: the server (protocol sequences, interfaces, endpoints,
// listening), binding handles on the client side, the endpoint map, and the
// name-service entries. ncacn_ip_tcp only.
//
// Every function answers an RPC_STATUS (rpc_status.h). A failed remote call
// made through a client stub raises rpc_exception carrying the status; the
// runtime functions themselves never throw.
//
// Settings read by the runtime (the service's settings file, qorutil.h):
// RpcListenAddress, RpcEpmapperPort, RpcConnectTimeout, RpcCallTimeout,
// RpcNsDirectory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

#include "platform/rpc/rpc_status.h"
#include "platform/rpc/rpc_types.h"
#include "platform/rpc/string_binding.h"

// ---- Handles ----

// A binding handle: a string binding's parts, plus on the client side the
// connections kept open between calls. Owned by whoever received it; released
// with RpcBindingFree. One handle may be used by several threads at once.
struct rpc_binding;
using RPC_BINDING_HANDLE = rpc_binding*;

// The server's bindings, one per listening address.
struct RPC_BINDING_VECTOR {
  unsigned long Count;
  RPC_BINDING_HANDLE* BindingH;  // Count handles
};

// An interface as registered and called: its identity and server stubs.
using RPC_IF_HANDLE = const rpc_server_interface*;

// An open import of a name-service entry.
struct rpc_ns_import;
using RPC_NS_HANDLE = rpc_ns_import*;

// Entry-name syntax of the name-service calls: the DCE syntax.
constexpr unsigned long RPC_C_NS_SYNTAX_DCE = 3;
constexpr unsigned long RPC_C_NS_SYNTAX_DEFAULT = 0;

// Default and limits of the call-thread counts.
constexpr unsigned int RPC_C_PROTSEQ_MAX_REQS_DEFAULT = 10;
constexpr unsigned int RPC_C_LISTEN_MAX_CALLS_DEFAULT = 1234;

// The exception a failed remote call raises.
class rpc_exception : public std::exception {
 public:
  explicit rpc_exception(RPC_STATUS status) : status_(status) {}
  RPC_STATUS status() const { return status_; }
  const char* what() const noexcept override { return "RPC call failed"; }

 private:
  RPC_STATUS status_;
};

// ---- Server ----

RPC_STATUS RpcServerUseProtseqA(const char* Protseq, unsigned int MaxCalls,
                                void* SecurityDescriptor);
// A fixed endpoint: `Endpoint` is the TCP port in decimal (1 to 65535).
RPC_STATUS RpcServerUseProtseqEpA(const char* Protseq, unsigned int MaxCalls, const char* Endpoint,
                                  void* SecurityDescriptor);
RPC_STATUS RpcServerUseAllProtseqs(unsigned int MaxCalls, void* SecurityDescriptor);
// MgrEpv null: the interface's own managers (IfSpec->default_epv).
RPC_STATUS RpcServerRegisterIf(RPC_IF_HANDLE IfSpec, const rpc_uuid* MgrTypeUuid,
                               const void* MgrEpv);
RPC_STATUS RpcServerUnregisterIf(RPC_IF_HANDLE IfSpec, const rpc_uuid* MgrTypeUuid,
                                 unsigned int WaitForCallsToComplete);
// One binding per listening address; the caller frees the vector with
// RpcBindingVectorFree.
RPC_STATUS RpcServerInqBindings(RPC_BINDING_VECTOR** BindingVector);
RPC_STATUS RpcBindingVectorFree(RPC_BINDING_VECTOR** BindingVector);
RPC_STATUS RpcEpRegisterA(RPC_IF_HANDLE IfSpec, RPC_BINDING_VECTOR* BindingVector, void* UuidVector,
                          const char* Annotation);
RPC_STATUS RpcEpUnregister(RPC_IF_HANDLE IfSpec, RPC_BINDING_VECTOR* BindingVector,
                           void* UuidVector);
RPC_STATUS RpcServerListen(unsigned int MinimumCallThreads, unsigned int MaxCalls,
                           unsigned int DontWait);
// Binding null: this process's server.
RPC_STATUS RpcMgmtStopServerListening(RPC_BINDING_HANDLE Binding);
RPC_STATUS RpcMgmtWaitServerListen();

// ---- Binding handles ----

// Each makes a new handle, which the caller frees with RpcBindingFree.
RPC_STATUS RpcBindingFromStringBindingA(const char* StringBinding, RPC_BINDING_HANDLE* Binding);
RPC_STATUS RpcBindingCopy(RPC_BINDING_HANDLE SourceBinding, RPC_BINDING_HANDLE* DestinationBinding);
RPC_STATUS RpcBindingFree(RPC_BINDING_HANDLE* Binding);
// Drops the endpoint: the next call resolves it at the host's endpoint mapper.
RPC_STATUS RpcBindingReset(RPC_BINDING_HANDLE Binding);
// A new string, which the caller frees with RpcStringFreeA.
RPC_STATUS RpcBindingToStringBindingA(RPC_BINDING_HANDLE Binding, char** StringBinding);
// Fills in the endpoint of a partially bound handle with ept_map at the
// host's endpoint mapper (RpcEpmapperPort).
RPC_STATUS RpcEpResolveBinding(RPC_BINDING_HANDLE Binding, RPC_IF_HANDLE IfSpec);

// One call on a binding: sends the request stub of operation `opnum` of the
// interface and places the reply stub in *reply (empty on failure). RPC_S_OK,
// or the status the client stub raises (1722, 1723, 1726, 1727, 1717, 1818,
// 1753 for an endpoint the host's mapper does not know, ...). Statuses and
// the reuse of connections: rpc_client.cpp.
RPC_STATUS rpc_binding_call(RPC_BINDING_HANDLE Binding, RPC_IF_HANDLE IfSpec, uint16_t opnum,
                            const std::vector<uint8_t>& request, std::vector<uint8_t>* reply);
// True when the two handles are one, or copies of one resolved binding that
// share its connections (neither reset since): a further copy would add nothing.
bool rpc_binding_shares_connections(RPC_BINDING_HANDLE a, RPC_BINDING_HANDLE b);

// ---- Name service ----

// Adds the vector's bindings that the entry does not hold yet.
RPC_STATUS RpcNsBindingExportA(unsigned long EntryNameSyntax, const char* EntryName,
                               RPC_IF_HANDLE IfSpec, RPC_BINDING_VECTOR* BindingVec,
                               void* ObjectUuidVec);
// Removes the interface's bindings from the entry.
RPC_STATUS RpcNsBindingUnexportA(unsigned long EntryNameSyntax, const char* EntryName,
                                 RPC_IF_HANDLE IfSpec, void* ObjectUuidVec);
// Reads the entry once: the import hands out that snapshot. 0 whenever the
// folder can be read (also for an entry that does not exist), 1762 otherwise.
// The caller ends the import with RpcNsBindingImportDone.
RPC_STATUS RpcNsBindingImportBeginA(unsigned long EntryNameSyntax, const char* EntryName,
                                    RPC_IF_HANDLE IfSpec, const rpc_uuid* ObjUuid,
                                    RPC_NS_HANDLE* ImportContext);
// A new handle (freed by the caller), or 1806 when no binding is left.
RPC_STATUS RpcNsBindingImportNext(RPC_NS_HANDLE ImportContext, RPC_BINDING_HANDLE* Binding);
RPC_STATUS RpcNsBindingImportDone(RPC_NS_HANDLE* ImportContext);
