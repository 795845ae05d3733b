// Binding handles inside the runtime: the parts of a string binding, and on
// the client side the connections a handle keeps open between calls.
#pragma once

#include <mutex>
#include <vector>

#include "platform/rpc/assoc.h"
#include "platform/rpc/rpc.h"

// One client connection kept open between calls: its socket and the
// connection machine, already bound to `iface`.
struct rpc_conn {
  int fd;
  rpc_client_conn cc;
};

// Closes the socket and releases the machine.
void rpc_conn_close(rpc_conn* c);

struct rpc_binding {
  // The parts as parsed (escapes removed); "" for an absent part, never null.
  char* object_uuid;
  char* protseq;
  char* netaddr;
  char* endpoint;  // "" until resolved: the first call asks the host's endpoint mapper
  char* options;
  std::mutex mu;                // guards endpoint and idle
  std::vector<rpc_conn*> idle;  // connections waiting for the next call
};
