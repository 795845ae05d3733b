// The store behind the RPC name service: for each (entry, interface) the
// string bindings exported under it. The name-service calls of rpc.h
// (rpc_ns.cpp) check names and handles and reach the store only through these
// three functions, so that a directory server can take the place of the
// folder (rpc_ns_folder.cpp) without touching them.
//
// The folder: one file per (entry, interface UUID and major version) in the
// directory named by the setting RpcNsDirectory (default /var/lib/qor/rpcns),
// format in doc/rpc_ns_folder.md. Changes are made under an exclusive flock
// of the folder's ".lock" and replace the file atomically; a read takes the
// file as one snapshot without a lock. Any number of threads and processes
// (and machines sharing the folder) may call at once.
#pragma once

#include <string>
#include <vector>

#include "platform/rpc/rpc_status.h"
#include "platform/rpc/rpc_types.h"

// An entry's global name, "/.../CELL/rest" with CELL in upper case (the name
// service's canonical form), and an interface.
struct rpc_ns_key {
  const char* entry;
  rpc_syntax_id iface;
};

// Adds the string bindings that the entry does not hold yet for the
// interface (a binding held already takes the interface's minor version).
// RPC_S_OK; RPC_S_NAME_SERVICE_UNAVAILABLE when the folder cannot be created,
// read or written (nothing changed); RPC_S_STRING_TOO_LONG for an entry name
// too long for a file name.
RPC_STATUS rpc_ns_store_add(const rpc_ns_key& key, const std::vector<std::string>& bindings);

// Removes the interface's bindings (every minor version) from the entry.
// RPC_S_OK; RPC_S_INTERFACE_NOT_FOUND when it held none; 1762 and 1743 as above.
RPC_STATUS rpc_ns_store_remove(const rpc_ns_key& key);

// The entry's bindings for the interface (exported with the same major and a
// minor version not below the requested one), in the order they were
// exported, as one consistent snapshot. An entry that does not exist has no
// bindings. RPC_S_OK; 1762 when the folder (or the entry's file) cannot be
// read; 1743 as above.
RPC_STATUS rpc_ns_store_read(const rpc_ns_key& key, std::vector<std::string>* bindings);
