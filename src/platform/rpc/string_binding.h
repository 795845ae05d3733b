// DCE string bindings:
// `[ObjectUUID@]ProtocolSequence:[NetworkAddress][[Endpoint][,Option=Value...]]`.
//
// Inside a part, a backslash makes the next character plain: composing writes a backslash
// before each of `@ : [ ] , \` (and `=` in an endpoint), parsing removes every backslash and
// keeps the character after it. In the bracket, an item without an unescaped `=`, or an item
// `endpoint=X` (name ignoring case), is the endpoint; the other items are the network options,
// handed back joined with commas. Inside the bracket `@` and `:` may also stand unescaped.
//
// Strings are UTF-8 `char*` (the original's unsigned char RPC_CSTR). Every string handed out is
// allocated with qor_malloc and released with RpcStringFreeA (or free).
#pragma once

#include "platform/rpc/rpc_status.h"

// Builds a string binding. Null or empty parts are left out; `Protseq` is required
// (RPC_S_INVALID_STRING_BINDING without it). `ObjUuid` must be a bare 36-character UUID
// (RPC_S_INVALID_STRING_UUID). `NetworkOptions` is "name=value[,name=value...]": its commas and
// equals signs are written as they are, its other special characters escaped. On RPC_S_OK
// `*StringBinding` is a new string; otherwise (also RPC_S_OUT_OF_MEMORY, RPC_S_INVALID_ARG for a
// null StringBinding) it is null.
RPC_STATUS RpcStringBindingComposeA(const char* ObjUuid, const char* Protseq,
                                    const char* NetworkAddr, const char* Endpoint,
                                    const char* NetworkOptions, char** StringBinding);

// Splits a string binding into its parts. Each non-null out-pointer receives a new string, the
// empty string for an absent part; a null out-pointer skips that part. Statuses:
// RPC_S_INVALID_STRING_UUID (text before an unescaped '@' that is not a bare UUID),
// RPC_S_INVALID_STRING_BINDING (no ':' or an empty protocol sequence, an unescaped '@' ':' ','
// or ']' in the network address, no closing ']', text after it, two endpoints, a trailing lone
// backslash, a null StringBinding), RPC_S_OUT_OF_MEMORY. On any failure every out-pointer is set
// to null and nothing is left allocated.
RPC_STATUS RpcStringBindingParseA(const char* StringBinding, char** ObjUuid, char** Protseq,
                                  char** NetworkAddr, char** Endpoint, char** NetworkOptions);

// Whether this runtime offers `protseq`: RPC_S_OK for ncacn_ip_tcp, the one it
// offers; RPC_S_PROTSEQ_NOT_SUPPORTED for one other runtimes offer (ncacn_np, ...);
// RPC_S_INVALID_RPC_PROTSEQ for anything else, null included.
RPC_STATUS rpc_protseq_status(const char* protseq);

// Frees a string handed out above and sets `*String` to null. Null `*String` is accepted;
// a null `String` gives RPC_S_INVALID_ARG.
RPC_STATUS RpcStringFreeA(char** String);
