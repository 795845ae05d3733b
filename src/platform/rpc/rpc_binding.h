// Binding handles inside the runtime: the parts of a string binding, and on
// the client side the connections a handle keeps open between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/rpc/assoc.h"
#include "platform/rpc/rpc.h"

// One client connection kept open between calls: its socket and the
// connection machine, already bound to the interface `cc.iface`. Used by one
// call at a time: a call takes it out of the handle's idle list and puts it
// back when the call is over.
struct rpc_conn {
  int fd;
  uint32_t next_call_id;
  uint32_t generation;  // the handle's generation it was opened for
  rpc_client_conn cc;
};

// Closes the socket and releases the machine; null is accepted.
void rpc_conn_close(rpc_conn* c);

// The most idle connections one handle keeps; a connection coming back to a
// full list is closed.
constexpr size_t RPC_MAX_IDLE_CONNS = 16;

struct rpc_binding {
  // The parts as parsed (escapes removed); "" for an absent part, never null.
  char* object_uuid;
  char* protseq;
  char* netaddr;
  char* endpoint;  // "" until resolved: the first call asks the host's endpoint mapper
  char* options;
  std::mutex mu;  // guards endpoint, idle, n_idle, generation and the limits below
  rpc_conn* idle[RPC_MAX_IDLE_CONNS] = {};  // connections waiting for the next call
  size_t n_idle = 0;
  // Counts the resets: a connection opened before the last reset is not kept.
  uint32_t generation = 0;
  // The client's limits, read from the settings at the handle's first call
  // (RpcConnectTimeout, RpcCallTimeout in seconds, 0 = none; RpcEpmapperPort)
  // and handed on to copies, so that a call reads no settings file.
  bool limits_read = false;
  uint32_t connect_timeout_s = 0;
  uint32_t call_timeout_s = 0;
  uint16_t epmapper_port = 0;
};
