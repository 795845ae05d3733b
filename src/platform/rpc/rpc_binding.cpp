#include "platform/rpc/rpc_binding.h"

#include <unistd.h>

#include <new>
#include <utility>

#include "platform/memory.h"

namespace {

void free_parts(rpc_binding* b) {
  qor_free(b->object_uuid);
  qor_free(b->protseq);
  qor_free(b->netaddr);
  qor_free(b->endpoint);
  qor_free(b->options);
}

std::atomic<uint32_t> last_pool_id{0};

// A new pool held once, or null when memory runs out.
rpc_conn_pool* rpc_pool_new() {
  void* mem = qor_malloc(sizeof(rpc_conn_pool));
  if (mem == nullptr) return nullptr;
  rpc_conn_pool* p = new (mem) rpc_conn_pool;
  p->id = ++last_pool_id;
  return p;
}

void rpc_pool_hold(rpc_conn_pool* p) { p->refs.fetch_add(1, std::memory_order_relaxed); }

// A new handle owning the given parts and one hold of `pool` (a new pool when
// null). A null part is a copy that failed: RPC_S_OUT_OF_MEMORY. On failure
// the parts and the hold are given up.
RPC_STATUS make_binding(char* uuid, char* protseq, char* addr, char* endpoint, char* options,
                        rpc_conn_pool* pool, RPC_BINDING_HANDLE* out) {
  bool parts = uuid != nullptr && protseq != nullptr && addr != nullptr && endpoint != nullptr &&
               options != nullptr;
  if (parts && pool == nullptr) pool = rpc_pool_new();
  void* mem = parts && pool != nullptr ? qor_malloc(sizeof(rpc_binding)) : nullptr;
  if (mem == nullptr) {
    if (pool != nullptr) rpc_pool_release(pool);
    qor_free(uuid);
    qor_free(protseq);
    qor_free(addr);
    qor_free(endpoint);
    qor_free(options);
    return RPC_S_OUT_OF_MEMORY;
  }
  rpc_binding* b = new (mem) rpc_binding;
  b->pool = pool;
  b->object_uuid = uuid;
  b->protseq = protseq;
  b->netaddr = addr;
  b->endpoint = endpoint;
  b->options = options;
  *out = b;
  return RPC_S_OK;
}

}  // namespace

rpc_conn_pool* rpc_binding_pool(rpc_binding* b) {
  std::lock_guard<std::mutex> hold(b->mu);
  rpc_pool_hold(b->pool);
  return b->pool;
}

void rpc_pool_release(rpc_conn_pool* p) {
  if (p->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  for (size_t i = 0; i < p->n_idle; ++i) rpc_conn_close(p->idle[i]);
  p->~rpc_conn_pool();
  qor_free(p);
}

uint16_t rpc_tcp_port(const char* endpoint) {
  if (endpoint == nullptr || *endpoint == '\0') return 0;
  uint32_t v = 0;
  for (const char* p = endpoint; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return 0;
    v = v * 10 + static_cast<uint32_t>(*p - '0');
    if (v > 65535) return 0;
  }
  return static_cast<uint16_t>(v);
}

void rpc_conn_close(rpc_conn* c) {
  if (c == nullptr) return;
  if (c->fd >= 0) close(c->fd);
  rpc_cconn_release(&c->cc);
  delete c;
}

RPC_STATUS RpcBindingFromStringBindingA(const char* StringBinding, RPC_BINDING_HANDLE* Binding) {
  if (Binding == nullptr) return RPC_S_INVALID_ARG;
  *Binding = nullptr;
  char *uuid, *protseq, *addr, *endpoint, *options;
  RPC_STATUS st =
      RpcStringBindingParseA(StringBinding, &uuid, &protseq, &addr, &endpoint, &options);
  if (st != RPC_S_OK) return st;
  return make_binding(uuid, protseq, addr, endpoint, options, nullptr, Binding);
}

RPC_STATUS RpcBindingCopy(RPC_BINDING_HANDLE SourceBinding,
                          RPC_BINDING_HANDLE* DestinationBinding) {
  if (DestinationBinding == nullptr) return RPC_S_INVALID_ARG;
  *DestinationBinding = nullptr;
  if (SourceBinding == nullptr) return RPC_S_INVALID_BINDING;
  // Once the endpoint is known the copy shares the source's connections;
  // before, each handle resolves and connects on its own.
  std::lock_guard<std::mutex> hold(SourceBinding->mu);
  rpc_conn_pool* pool = nullptr;
  if (SourceBinding->endpoint[0] != '\0') {
    pool = SourceBinding->pool;
    rpc_pool_hold(pool);
  }
  RPC_STATUS st =
      make_binding(qor_strdup(SourceBinding->object_uuid), qor_strdup(SourceBinding->protseq),
                   qor_strdup(SourceBinding->netaddr), qor_strdup(SourceBinding->endpoint),
                   qor_strdup(SourceBinding->options), pool, DestinationBinding);
  if (st != RPC_S_OK) return st;
  rpc_binding* copy = *DestinationBinding;
  copy->limits_read = SourceBinding->limits_read;
  copy->connect_timeout_s = SourceBinding->connect_timeout_s;
  copy->call_timeout_s = SourceBinding->call_timeout_s;
  copy->epmapper_port = SourceBinding->epmapper_port;
  return RPC_S_OK;
}

bool rpc_binding_shares_connections(RPC_BINDING_HANDLE a, RPC_BINDING_HANDLE b) {
  if (a == b) return true;
  if (a == nullptr || b == nullptr) return false;
  std::scoped_lock hold(a->mu, b->mu);
  // A handle without an endpoint has a pool of its own, shared with no copy.
  return a->pool == b->pool && a->endpoint[0] != '\0';
}

RPC_STATUS RpcBindingFree(RPC_BINDING_HANDLE* Binding) {
  if (Binding == nullptr || *Binding == nullptr) return RPC_S_INVALID_BINDING;
  rpc_binding* b = *Binding;
  rpc_pool_release(b->pool);
  free_parts(b);
  b->~rpc_binding();
  qor_free(b);
  *Binding = nullptr;
  return RPC_S_OK;
}

RPC_STATUS RpcBindingReset(RPC_BINDING_HANDLE Binding) {
  if (Binding == nullptr) return RPC_S_INVALID_BINDING;
  char* empty = qor_strdup("");
  rpc_conn_pool* pool = empty != nullptr ? rpc_pool_new() : nullptr;
  if (pool == nullptr) {
    qor_free(empty);
    return RPC_S_OUT_OF_MEMORY;
  }
  {
    std::lock_guard<std::mutex> hold(Binding->mu);
    qor_free(Binding->endpoint);
    Binding->endpoint = empty;
    // Connections to the old endpoint are not reused, nor kept when calls in
    // progress give them back: they belong to the pool replaced.
    std::swap(Binding->pool, pool);
  }
  rpc_pool_release(pool);
  return RPC_S_OK;
}

RPC_STATUS RpcBindingToStringBindingA(RPC_BINDING_HANDLE Binding, char** StringBinding) {
  if (StringBinding == nullptr) return RPC_S_INVALID_ARG;
  *StringBinding = nullptr;
  if (Binding == nullptr) return RPC_S_INVALID_BINDING;
  std::lock_guard<std::mutex> hold(Binding->mu);
  return RpcStringBindingComposeA(Binding->object_uuid, Binding->protseq, Binding->netaddr,
                                  Binding->endpoint, Binding->options, StringBinding);
}

RPC_STATUS RpcBindingVectorFree(RPC_BINDING_VECTOR** BindingVector) {
  if (BindingVector == nullptr || *BindingVector == nullptr) return RPC_S_INVALID_ARG;
  RPC_BINDING_VECTOR* v = *BindingVector;
  for (unsigned long i = 0; i < v->Count; ++i) {
    if (v->BindingH[i] != nullptr) RpcBindingFree(&v->BindingH[i]);
  }
  qor_free(v->BindingH);
  qor_free(v);
  *BindingVector = nullptr;
  return RPC_S_OK;
}
