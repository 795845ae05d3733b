// The RPC name-service calls: entry names, export, unexport and import, over
// the store of rpc_ns_store.h.
//
// Entry names use the DCE syntax: "/.../CELL/rest" is global, "/.:/rest" is
// relative to the caller's cell, its LAN group (NetWkstaGetInfo level 101).
// Cell names compare ignoring ASCII letter case (as domain names do); the
// rest of the name compares exactly.
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/netapi.h"
#include "platform/rpc/rpc_binding.h"
#include "platform/rpc/rpc_ns_store.h"

// An import: the entry's bindings as read at its beginning, handed out in turn.
struct rpc_ns_import {
  std::vector<std::string> bindings;
  size_t next;
};

namespace {

constexpr const char* GLOBAL_PREFIX = "/.../";
constexpr const char* LOCAL_PREFIX = "/.:/";

// The canonical global name of an entry: "/.../CELL/rest" with CELL in upper
// case. RPC_S_OK; 1737 for a syntax other than DCE (or the default, which is
// DCE); 1736 for a name of neither form or with an empty cell or rest;
// 14 when the LAN group cannot be read.
RPC_STATUS canonical_entry(unsigned long syntax, const char* name, std::string* out) {
  if (syntax != RPC_C_NS_SYNTAX_DCE && syntax != RPC_C_NS_SYNTAX_DEFAULT) {
    return RPC_S_UNSUPPORTED_NAME_SYNTAX;
  }
  if (name == nullptr) return RPC_S_INVALID_NAME_SYNTAX;
  std::string cell, rest;
  if (strncmp(name, LOCAL_PREFIX, strlen(LOCAL_PREFIX)) == 0) {
    LPBYTE buf = nullptr;
    if (NetWkstaGetInfo(nullptr, 101, &buf) != NERR_Success) return RPC_S_OUT_OF_MEMORY;
    cell = reinterpret_cast<WKSTA_INFO_101*>(buf)->wki101_langroup;
    NetApiBufferFree(buf);
    rest = name + strlen(LOCAL_PREFIX);
  } else if (strncmp(name, GLOBAL_PREFIX, strlen(GLOBAL_PREFIX)) == 0) {
    const char* start = name + strlen(GLOBAL_PREFIX);
    const char* slash = strchr(start, '/');
    if (slash == nullptr) return RPC_S_INVALID_NAME_SYNTAX;
    cell.assign(start, slash);
    rest = slash + 1;
  } else {
    return RPC_S_INVALID_NAME_SYNTAX;
  }
  if (cell.empty() || rest.empty()) return RPC_S_INVALID_NAME_SYNTAX;
  for (char& ch : cell) {
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
  }
  *out = GLOBAL_PREFIX + cell + "/" + rest;
  return RPC_S_OK;
}

bool is_nil(const rpc_uuid* uuid) {
  static const rpc_uuid nil = {};
  return uuid == nullptr || *uuid == nil;
}

}  // namespace

// Object UUIDs are not kept by the folder: exports and unexports with an
// object vector, and imports for an object, answer 1764.
//
// The calls answer a status and never throw (their callers hold NS__nslock
// around them): memory exhausted inside a std::string or std::vector answers
// 14 (RPC_S_OUT_OF_MEMORY).
RPC_STATUS RpcNsBindingExportA(unsigned long EntryNameSyntax, const char* EntryName,
                               RPC_IF_HANDLE IfSpec, RPC_BINDING_VECTOR* BindingVec,
                               void* ObjectUuidVec) try {
  std::string entry;
  RPC_STATUS st = canonical_entry(EntryNameSyntax, EntryName, &entry);
  if (st != RPC_S_OK) return st;
  if (ObjectUuidVec != nullptr) return RPC_S_CANNOT_SUPPORT;
  if (IfSpec == nullptr || BindingVec == nullptr || BindingVec->Count == 0) {
    return RPC_S_NOTHING_TO_EXPORT;
  }
  std::vector<std::string> texts;
  for (unsigned long i = 0; i < BindingVec->Count; ++i) {
    char* text = nullptr;
    st = RpcBindingToStringBindingA(BindingVec->BindingH[i], &text);
    if (st != RPC_S_OK) return st;
    texts.emplace_back(text);
    RpcStringFreeA(&text);
    // One binding a line in the folder.
    if (texts.back().find_first_of("\r\n") != std::string::npos) return RPC_S_INVALID_BINDING;
  }
  return rpc_ns_store_add({entry.c_str(), IfSpec->syntax}, texts);
} catch (const std::bad_alloc&) {
  return RPC_S_OUT_OF_MEMORY;
}

RPC_STATUS RpcNsBindingUnexportA(unsigned long EntryNameSyntax, const char* EntryName,
                                 RPC_IF_HANDLE IfSpec, void* ObjectUuidVec) try {
  std::string entry;
  RPC_STATUS st = canonical_entry(EntryNameSyntax, EntryName, &entry);
  if (st != RPC_S_OK) return st;
  if (ObjectUuidVec != nullptr) return RPC_S_CANNOT_SUPPORT;
  if (IfSpec == nullptr) return RPC_S_INVALID_ARG;
  return rpc_ns_store_remove({entry.c_str(), IfSpec->syntax});
} catch (const std::bad_alloc&) {
  return RPC_S_OUT_OF_MEMORY;
}

RPC_STATUS RpcNsBindingImportBeginA(unsigned long EntryNameSyntax, const char* EntryName,
                                    RPC_IF_HANDLE IfSpec, const rpc_uuid* ObjUuid,
                                    RPC_NS_HANDLE* ImportContext) try {
  if (ImportContext == nullptr) return RPC_S_INVALID_ARG;
  *ImportContext = nullptr;
  std::string entry;
  RPC_STATUS st = canonical_entry(EntryNameSyntax, EntryName, &entry);
  if (st != RPC_S_OK) return st;
  if (!is_nil(ObjUuid)) return RPC_S_CANNOT_SUPPORT;
  if (IfSpec == nullptr) return RPC_S_INVALID_ARG;
  std::unique_ptr<rpc_ns_import> imp(new (std::nothrow) rpc_ns_import);
  if (imp == nullptr) return RPC_S_OUT_OF_MEMORY;
  // Read once, here: the import hands out this snapshot whatever others
  // export or unexport meanwhile.
  st = rpc_ns_store_read({entry.c_str(), IfSpec->syntax}, &imp->bindings);
  if (st != RPC_S_OK) return st;
  imp->next = 0;
  *ImportContext = imp.release();
  return RPC_S_OK;
} catch (const std::bad_alloc&) {
  return RPC_S_OUT_OF_MEMORY;
}

// A binding that no longer parses (the folder is shared text) is passed over.
RPC_STATUS RpcNsBindingImportNext(RPC_NS_HANDLE ImportContext, RPC_BINDING_HANDLE* Binding) {
  if (Binding == nullptr) return RPC_S_INVALID_ARG;
  *Binding = nullptr;
  if (ImportContext == nullptr) return RPC_S_INVALID_ARG;
  while (ImportContext->next < ImportContext->bindings.size()) {
    const std::string& text = ImportContext->bindings[ImportContext->next++];
    RPC_STATUS st = RpcBindingFromStringBindingA(text.c_str(), Binding);
    if (st != RPC_S_INVALID_STRING_BINDING && st != RPC_S_INVALID_STRING_UUID) return st;
  }
  return RPC_S_NO_MORE_BINDINGS;
}

RPC_STATUS RpcNsBindingImportDone(RPC_NS_HANDLE* ImportContext) {
  if (ImportContext == nullptr) return RPC_S_INVALID_ARG;
  delete *ImportContext;
  *ImportContext = nullptr;
  return RPC_S_OK;
}
