// Binding handles inside the runtime: the parts of a string binding, and on
// the client side the connections a handle keeps open between calls.
#pragma once

#include <atomic>
#include <chrono>
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
  uint32_t pool_id;  // the pool it was opened for; no other keeps it
  rpc_client_conn cc;
  std::chrono::steady_clock::time_point kept_at;  // when it was last given back
};

// Closes the socket and releases the machine; null is accepted.
void rpc_conn_close(rpc_conn* c);

// The TCP port an ncacn_ip_tcp endpoint names: 1 to 65535 in decimal digits
// only; 0 for anything else (null included).
uint16_t rpc_tcp_port(const char* endpoint);

// The most idle connections one handle keeps; a connection coming back to a
// full list is closed. A forwarding qor holds one connection to the other
// domain per call in progress: fewer kept than its callers means a connect
// and a bind for every call past them.
constexpr size_t RPC_MAX_IDLE_CONNS = 64;

// The idle connections of a handle, shared with every copy made of it once
// its endpoint is known, so that calls on the copies reuse one another's
// connections as they would on the handle itself (a forwarding calls on a
// new copy of the handle that worked last time). Freed, with its connections,
// by the last handle that holds it. A reset gives the handle a new pool.
struct rpc_conn_pool {
  std::mutex mu;  // guards idle and n_idle
  rpc_conn* idle[RPC_MAX_IDLE_CONNS] = {};
  size_t n_idle = 0;
  uint32_t id = 0;  // unique in the process
  std::atomic<uint32_t> refs{1};
};
// The handle's pool, held once more for the caller so that a reset on another
// thread cannot free it meanwhile; given back with rpc_pool_release. Takes
// the handle's mu.
rpc_conn_pool* rpc_binding_pool(rpc_binding* b);
// Drops one hold; the last closes the idle connections and frees the pool.
void rpc_pool_release(rpc_conn_pool* p);

struct rpc_binding {
  // The parts as parsed (escapes removed); "" for an absent part, never null.
  char* object_uuid;
  char* protseq;
  char* netaddr;
  char* endpoint;  // "" until resolved: the first call asks the host's endpoint mapper
  char* options;
  std::mutex mu;  // guards endpoint, pool and the limits below
  // Connections waiting for the next call; never null. A connection opened
  // before the last reset belongs to the pool replaced and is not kept.
  rpc_conn_pool* pool = nullptr;
  // The client's limits, read from the settings at the handle's first call
  // (RpcConnectTimeout, RpcCallTimeout in seconds, 0 = none; RpcEpmapperPort)
  // and handed on to copies, so that a call reads no settings file.
  bool limits_read = false;
  uint32_t connect_timeout_s = 0;
  uint32_t call_timeout_s = 0;
  uint16_t epmapper_port = 0;
};
