#include "platform/rpc/rpc_binding.h"

#include <unistd.h>

#include <new>

#include "platform/memory.h"

namespace {

void free_parts(rpc_binding* b) {
  qor_free(b->object_uuid);
  qor_free(b->protseq);
  qor_free(b->netaddr);
  qor_free(b->endpoint);
  qor_free(b->options);
}

// A new handle owning the given parts; on failure the parts are freed.
RPC_STATUS make_binding(char* uuid, char* protseq, char* addr, char* endpoint, char* options,
                        RPC_BINDING_HANDLE* out) {
  void* mem = qor_malloc(sizeof(rpc_binding));
  if (mem == nullptr) {
    qor_free(uuid);
    qor_free(protseq);
    qor_free(addr);
    qor_free(endpoint);
    qor_free(options);
    return RPC_S_OUT_OF_MEMORY;
  }
  rpc_binding* b = new (mem) rpc_binding;
  b->object_uuid = uuid;
  b->protseq = protseq;
  b->netaddr = addr;
  b->endpoint = endpoint;
  b->options = options;
  *out = b;
  return RPC_S_OK;
}

}  // namespace

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
  return make_binding(uuid, protseq, addr, endpoint, options, Binding);
}

RPC_STATUS RpcBindingCopy(RPC_BINDING_HANDLE SourceBinding,
                          RPC_BINDING_HANDLE* DestinationBinding) {
  if (DestinationBinding == nullptr) return RPC_S_INVALID_ARG;
  *DestinationBinding = nullptr;
  if (SourceBinding == nullptr) return RPC_S_INVALID_BINDING;
  // The copy shares no connection with the source; it opens its own.
  std::lock_guard<std::mutex> hold(SourceBinding->mu);
  bool limits_read = SourceBinding->limits_read;
  uint32_t connect_timeout_s = SourceBinding->connect_timeout_s;
  uint32_t call_timeout_s = SourceBinding->call_timeout_s;
  uint16_t epmapper_port = SourceBinding->epmapper_port;
  char* uuid = qor_strdup(SourceBinding->object_uuid);
  char* protseq = qor_strdup(SourceBinding->protseq);
  char* addr = qor_strdup(SourceBinding->netaddr);
  char* endpoint = qor_strdup(SourceBinding->endpoint);
  char* options = qor_strdup(SourceBinding->options);
  if (uuid == nullptr || protseq == nullptr || addr == nullptr || endpoint == nullptr ||
      options == nullptr) {
    qor_free(uuid);
    qor_free(protseq);
    qor_free(addr);
    qor_free(endpoint);
    qor_free(options);
    return RPC_S_OUT_OF_MEMORY;
  }
  RPC_STATUS st = make_binding(uuid, protseq, addr, endpoint, options, DestinationBinding);
  if (st != RPC_S_OK) return st;
  rpc_binding* copy = *DestinationBinding;
  copy->limits_read = limits_read;
  copy->connect_timeout_s = connect_timeout_s;
  copy->call_timeout_s = call_timeout_s;
  copy->epmapper_port = epmapper_port;
  return RPC_S_OK;
}

RPC_STATUS RpcBindingFree(RPC_BINDING_HANDLE* Binding) {
  if (Binding == nullptr || *Binding == nullptr) return RPC_S_INVALID_BINDING;
  rpc_binding* b = *Binding;
  for (size_t i = 0; i < b->n_idle; ++i) rpc_conn_close(b->idle[i]);
  free_parts(b);
  b->~rpc_binding();
  qor_free(b);
  *Binding = nullptr;
  return RPC_S_OK;
}

RPC_STATUS RpcBindingReset(RPC_BINDING_HANDLE Binding) {
  if (Binding == nullptr) return RPC_S_INVALID_BINDING;
  char* empty = qor_strdup("");
  if (empty == nullptr) return RPC_S_OUT_OF_MEMORY;
  std::lock_guard<std::mutex> hold(Binding->mu);
  qor_free(Binding->endpoint);
  Binding->endpoint = empty;
  // Connections to the old endpoint are not reused, nor kept when calls in
  // progress give them back.
  for (size_t i = 0; i < Binding->n_idle; ++i) rpc_conn_close(Binding->idle[i]);
  Binding->n_idle = 0;
  ++Binding->generation;
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
