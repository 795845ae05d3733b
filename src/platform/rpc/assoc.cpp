#include "platform/rpc/assoc.h"

#include <cstring>
#include <mutex>
#include <new>

#include "platform/memory.h"
#include "platform/rpc/rpc_status.h"

// ---- Association groups ----

struct rpc_assoc_group {
  uint32_t id;
  size_t members;  // connections bound into the group
};

struct rpc_assoc_groups {
  std::mutex lock;
  rpc_assoc_group* groups;  // GUARDED_BY(lock), count of them in use, cap allocated
  size_t count;             // GUARDED_BY(lock)
  size_t cap;               // GUARDED_BY(lock)
  uint32_t next_id;         // GUARDED_BY(lock)
};

rpc_assoc_groups* rpc_assoc_groups_create() {
  rpc_assoc_groups* g = new (std::nothrow) rpc_assoc_groups;
  if (g == nullptr) return nullptr;
  g->groups = nullptr;
  g->count = 0;
  g->cap = 0;
  g->next_id = 0x53f0;
  return g;
}

void rpc_assoc_groups_destroy(rpc_assoc_groups* g) {
  if (g == nullptr) return;
  qor_free(g->groups);
  delete g;
}

size_t rpc_assoc_groups_count(rpc_assoc_groups* g) {
  std::lock_guard<std::mutex> hold(g->lock);
  return g->count;
}

namespace {

// REQUIRES: g->lock held.
rpc_assoc_group* find_group(rpc_assoc_groups* g, uint32_t id) {
  for (size_t i = 0; i < g->count; ++i) {
    if (g->groups[i].id == id) return &g->groups[i];
  }
  return nullptr;
}

// Places a connection in group *id, or in a new group when *id is 0 (*id is
// then set). RPC_S_OK; RPC_S_INVALID_BINDING for a group that does not
// exist; RPC_S_OUT_OF_MEMORY.
int group_join(rpc_assoc_groups* g, uint32_t* id) {
  std::lock_guard<std::mutex> hold(g->lock);
  if (*id != 0) {
    rpc_assoc_group* a = find_group(g, *id);
    if (a == nullptr) return RPC_S_INVALID_BINDING;
    ++a->members;
    return RPC_S_OK;
  }
  if (g->count == g->cap) {
    size_t cap = g->cap == 0 ? 16 : 2 * g->cap;
    void* grown = qor_realloc(g->groups, cap * sizeof(rpc_assoc_group));
    if (grown == nullptr) return RPC_S_OUT_OF_MEMORY;
    g->groups = static_cast<rpc_assoc_group*>(grown);
    g->cap = cap;
  }
  uint32_t fresh;
  do {
    fresh = g->next_id++;
  } while (fresh == 0 || find_group(g, fresh) != nullptr);
  g->groups[g->count++] = {fresh, 1};
  *id = fresh;
  return RPC_S_OK;
}

void group_leave(rpc_assoc_groups* g, uint32_t id) {
  std::lock_guard<std::mutex> hold(g->lock);
  rpc_assoc_group* a = find_group(g, id);
  if (a != nullptr && --a->members == 0) *a = g->groups[--g->count];
}

bool same_syntax(const rpc_syntax_id& a, const rpc_syntax_id& b) {
  return a.uuid == b.uuid && a.major == b.major && a.minor == b.minor;
}

// Bind-time feature negotiation proposes 6cb71c2c-9812-4540-XXXX-XXXXXXXXXXXX
// as a transfer syntax, the X's being the client's feature bits.
bool is_btfn(const rpc_syntax_id& s) {
  return s.uuid.time_low == 0x6cb71c2c && s.uuid.time_mid == 0x9812 &&
         s.uuid.time_hi_and_version == 0x4540;
}

}  // namespace

// ---- Interface matching ----

bool rpc_if_matches(const rpc_syntax_id& registered, const rpc_syntax_id& requested) {
  return registered.uuid == requested.uuid && registered.major == requested.major &&
         requested.minor <= registered.minor;
}

bool rpc_if_list_lookup(void* arg, const rpc_syntax_id& abstract, rpc_if_entry* out) {
  const rpc_if_list* list = static_cast<const rpc_if_list*>(arg);
  for (size_t i = 0; i < list->count; ++i) {
    if (rpc_if_matches(list->entries[i].iface->syntax, abstract)) {
      *out = list->entries[i];
      return true;
    }
  }
  return false;
}

// ---- Server connection ----

namespace {

// Stub bytes per response fragment: what fits the negotiated size, rounded
// down to 16 as other servers do.
size_t response_chunk(uint16_t frag) { return (frag - PDU_RESPONSE_HEADER_LEN) & ~size_t{15}; }

int fail(rpc_server_conn* c, uint32_t call_id) {
  pdu_encode_fault(PFC_DID_NOT_EXECUTE, call_id, 0, NCA_S_PROTO_ERROR, &c->out);
  c->state = RPC_SCONN_CLOSE;
  return c->state;
}

int nak(rpc_server_conn* c, uint32_t call_id, uint16_t reason) {
  pdu_encode_bind_nak(call_id, reason, &c->out);
  c->state = RPC_SCONN_CLOSE;
  return c->state;
}

rpc_pres_ctx* find_context(rpc_server_conn* c, uint16_t cont_id) {
  for (size_t i = 0; i < c->n_contexts; ++i) {
    if (c->contexts[i].cont_id == cont_id) return &c->contexts[i];
  }
  return nullptr;
}

pdu_result negotiate(rpc_server_conn* c, const pdu_pres_context& p) {
  pdu_result r{PDU_PROVIDER_REJECTION, PDU_REASON_TRANSFER_SYNTAX, {}};
  bool ndr = false;
  for (const rpc_syntax_id& t : p.transfers) {
    // Without support for bind-time features the answer is the one servers
    // gave before they existed; the client keeps its other contexts.
    if (is_btfn(t)) return r;
    if (same_syntax(t, RPC_NDR20_SYNTAX)) ndr = true;
  }
  rpc_if_entry entry;
  if (!c->cfg.lookup(c->cfg.lookup_arg, p.abstract, &entry)) {
    r.reason = PDU_REASON_ABSTRACT_SYNTAX;
    return r;
  }
  if (!ndr) return r;
  rpc_pres_ctx* known = find_context(c, p.cont_id);
  if (known != nullptr) {
    // A context id keeps the syntax it was first accepted with.
    if (!same_syntax(known->abstract, p.abstract)) {
      r.reason = PDU_REASON_NOT_SPECIFIED;
      return r;
    }
  } else if (c->n_contexts == RPC_MAX_CONTEXTS) {
    r.reason = PDU_REASON_LOCAL_LIMIT;
    return r;
  } else {
    c->contexts[c->n_contexts++] = {p.cont_id, p.abstract};
  }
  return {PDU_ACCEPTANCE, PDU_REASON_NOT_SPECIFIED, RPC_NDR20_SYNTAX};
}

bool has_empty_context(const pdu_bind& b) {
  for (const pdu_pres_context& p : b.contexts) {
    if (p.transfers.empty()) return true;
  }
  return false;
}

int handle_bind(rpc_server_conn* c, const uint8_t* pdu, size_t len) {
  pdu_header h;
  pdu_bind b;
  if (pdu_decode_bind(pdu, len, &h, &b) != RPC_S_OK) {
    return nak(c, c->framer.hdr.call_id, PDU_NAK_NOT_SPECIFIED);
  }
  if (c->bound) return nak(c, h.call_id, PDU_NAK_NOT_SPECIFIED);
  if (h.auth_length != 0) return nak(c, h.call_id, PDU_NAK_AUTH_TYPE);
  if (b.contexts.empty() || has_empty_context(b)) {
    return nak(c, h.call_id, PDU_NAK_NOT_SPECIFIED);
  }
  // A client joining a group we do not know gets the strict answer.
  uint32_t group = b.assoc_group_id;
  int st = group_join(c->cfg.groups, &group);
  if (st == RPC_S_OUT_OF_MEMORY) return nak(c, h.call_id, PDU_NAK_LOCAL_LIMIT_EXCEEDED);
  if (st != RPC_S_OK) return nak(c, h.call_id, PDU_NAK_NOT_SPECIFIED);
  c->group = group;
  c->bound = true;

  // One size for both directions: the smaller of the client's two, but not
  // so small that clients keeping room for trailers cannot send, within our
  // framing buffer, and a multiple of 8.
  uint32_t n = b.max_xmit_frag < b.max_recv_frag ? b.max_xmit_frag : b.max_recv_frag;
  if (n < RPC_MIN_FRAG) n = RPC_MIN_FRAG;
  if (n > RPC_MAX_FRAG) n = RPC_MAX_FRAG;
  c->frag = static_cast<uint16_t>(n & ~7u);
  c->framer.limit = c->frag;

  pdu_bind_ack ack;
  ack.max_xmit_frag = c->frag;
  ack.max_recv_frag = c->frag;
  ack.assoc_group_id = group;
  if (c->cfg.sec_addr != nullptr) ack.sec_addr = c->cfg.sec_addr;
  for (const pdu_pres_context& p : b.contexts) ack.results.push_back(negotiate(c, p));
  pdu_encode_bind_ack(PDU_BIND_ACK, PFC_FIRST_FRAG | PFC_LAST_FRAG, h.call_id, ack, &c->out);
  return c->state;
}

int handle_alter(rpc_server_conn* c, const uint8_t* pdu, size_t len) {
  pdu_header h;
  pdu_bind b;
  if (pdu_decode_bind(pdu, len, &h, &b) != RPC_S_OK || h.auth_length != 0 || b.contexts.empty() ||
      has_empty_context(b)) {
    return fail(c, c->framer.hdr.call_id);
  }
  pdu_bind_ack ack;
  ack.max_xmit_frag = c->frag;
  ack.max_recv_frag = c->frag;
  ack.assoc_group_id = c->group;
  for (const pdu_pres_context& p : b.contexts) ack.results.push_back(negotiate(c, p));
  pdu_encode_bind_ack(PDU_ALTER_CONTEXT_RESP, PFC_FIRST_FRAG | PFC_LAST_FRAG, h.call_id, ack,
                      &c->out);
  return c->state;
}

// Refuses a call before it runs. Its remaining fragments are dropped.
void refuse_call(rpc_server_conn* c, const pdu_header& h, uint16_t cont_id, uint32_t status) {
  pdu_encode_fault(PFC_DID_NOT_EXECUTE, h.call_id, cont_id, status, &c->out);
  if ((h.pfc_flags & PFC_LAST_FRAG) == 0) {
    c->discarding = true;
    c->discard_call_id = h.call_id;
  }
}

int handle_request(rpc_server_conn* c, const uint8_t* pdu, size_t len) {
  pdu_header h;
  pdu_request q;
  if (pdu_decode_request(pdu, len, &h, &q) != RPC_S_OK || h.auth_length != 0) {
    return fail(c, c->framer.hdr.call_id);
  }
  bool first = (h.pfc_flags & PFC_FIRST_FRAG) != 0;
  if (c->discarding) {
    if (!first && h.call_id == c->discard_call_id) {
      if ((h.pfc_flags & PFC_LAST_FRAG) != 0) c->discarding = false;
      return c->state;
    }
    c->discarding = false;
  }
  if (first) {
    // A new call while another is still coming in is out of sequence; it must
    // not be refused alone, or the open call would finish on its interface.
    if (c->reasm.active) return fail(c, h.call_id);
    rpc_pres_ctx* ctx = find_context(c, q.cont_id);
    if (ctx == nullptr) {
      refuse_call(c, h, 0, NCA_S_UNK_IF);
      return c->state;
    }
    rpc_if_entry target;
    if (!c->cfg.lookup(c->cfg.lookup_arg, ctx->abstract, &target)) {
      refuse_call(c, h, q.cont_id, NCA_S_UNK_IF);
      return c->state;
    }
    if (q.opnum >= target.iface->opcount) {
      refuse_call(c, h, q.cont_id, NCA_S_OP_RNG_ERROR);
      return c->state;
    }
    c->call.target = target;
    c->call.has_object = q.has_object;
    c->call.object = q.object;
  }
  bool complete;
  int st = rpc_reasm_add(&c->reasm, h.pfc_flags, h.call_id, q.cont_id, q.opnum, q.stub, q.stub_len,
                         &complete);
  if (st == RPC_S_OUT_OF_MEMORY) {
    refuse_call(c, h, q.cont_id, NCA_S_FAULT_REMOTE_NO_MEMORY);
    return c->state;
  }
  if (st != RPC_S_OK) return fail(c, h.call_id);
  if (complete) {
    c->call.call_id = h.call_id;
    c->call.cont_id = q.cont_id;
    c->call.opnum = q.opnum;
    c->call.stub = c->reasm.data;
    c->call.stub_len = c->reasm.len;
    c->state = RPC_SCONN_CALL;
  }
  return c->state;
}

int handle_pdu(rpc_server_conn* c) {
  const uint8_t* pdu = c->framer.buf;
  size_t len = c->framer.hdr.frag_length;
  const pdu_header& h = c->framer.hdr;
  switch (h.ptype) {
    case PDU_BIND:
      return handle_bind(c, pdu, len);
    case PDU_ALTER_CONTEXT:
      if (!c->bound) return fail(c, h.call_id);
      return handle_alter(c, pdu, len);
    case PDU_REQUEST:
      if (!c->bound) return fail(c, h.call_id);
      return handle_request(c, pdu, len);
    case PDU_CO_CANCEL:
      // Calls run to their end; the cancel is not forwarded to the manager.
      return c->state;
    case PDU_ORPHANED:
      if (c->reasm.active && c->reasm.call_id == h.call_id) rpc_reasm_reset(&c->reasm);
      if (c->discarding && c->discard_call_id == h.call_id) c->discarding = false;
      return c->state;
    default:
      return fail(c, h.call_id);
  }
}

// The stream cannot be followed past a bad header: explain and close.
int header_error(rpc_server_conn* c, int status) {
  const pdu_header& h = c->framer.hdr;
  if (h.ptype == PDU_BIND && !c->bound) {
    if (status == RPC_S_UNSUPPORTED_TRANS_SYN)
      return nak(c, h.call_id, PDU_NAK_USER_DATA_NOT_READABLE);
    if (h.rpc_vers != 5 || h.rpc_vers_minor > 1) return nak(c, h.call_id, PDU_NAK_PROTOCOL_VERSION);
    if (h.frag_length > c->framer.limit) return nak(c, h.call_id, PDU_NAK_LOCAL_LIMIT_EXCEEDED);
    return nak(c, h.call_id, PDU_NAK_NOT_SPECIFIED);
  }
  return fail(c, h.call_id);
}

}  // namespace

void rpc_sconn_init(rpc_server_conn* c, const rpc_sconn_config& cfg) {
  c->cfg = cfg;
  c->state = RPC_SCONN_IDLE;
  c->bound = false;
  c->frag = RPC_MAX_FRAG;
  c->group = 0;
  c->n_contexts = 0;
  rpc_framer_init(&c->framer, RPC_MAX_FRAG);
  rpc_reasm_init(&c->reasm, RPC_MAX_STUB);
  c->discarding = false;
  c->discard_call_id = 0;
  c->call = rpc_call{};
  c->out.clear();
}

void rpc_sconn_release(rpc_server_conn* c) {
  if (c->group != 0) group_leave(c->cfg.groups, c->group);
  c->group = 0;
  rpc_reasm_release(&c->reasm);
  c->out.clear();
  c->out.shrink_to_fit();
  c->state = RPC_SCONN_CLOSE;
}

int rpc_sconn_receive(rpc_server_conn* c, const uint8_t* data, size_t len, size_t* consumed) {
  *consumed = 0;
  while (c->state == RPC_SCONN_IDLE && *consumed < len) {
    size_t used;
    bool ready;
    int st = rpc_framer_take(&c->framer, data + *consumed, len - *consumed, &used, &ready);
    *consumed += used;
    if (st != RPC_S_OK) return header_error(c, st);
    if (!ready) break;
    handle_pdu(c);
    rpc_framer_next(&c->framer);
  }
  return c->state;
}

const rpc_call* rpc_sconn_call(const rpc_server_conn* c) {
  return c->state == RPC_SCONN_CALL ? &c->call : nullptr;
}

void rpc_sconn_finish(rpc_server_conn* c, rpc_stub_result r, const uint8_t* reply,
                      size_t reply_len) {
  if (c->state != RPC_SCONN_CALL) return;
  const rpc_call& k = c->call;
  // A reply no client runtime takes (ours refuses stubs above RPC_MAX_STUB)
  // becomes a fault: the call ran, its answer cannot travel.
  if (r.fault == 0 && reply_len > RPC_MAX_STUB) r = {NCA_S_OUT_ARGS_TOO_BIG, true};
  if (r.fault != 0) {
    pdu_encode_fault(r.executed ? 0 : PFC_DID_NOT_EXECUTE, k.call_id, k.cont_id, r.fault, &c->out);
  } else {
    size_t chunk = response_chunk(c->frag);
    size_t off = 0;
    do {
      size_t n = reply_len - off < chunk ? reply_len - off : chunk;
      uint8_t flags = static_cast<uint8_t>((off == 0 ? PFC_FIRST_FRAG : 0) |
                                           (off + n == reply_len ? PFC_LAST_FRAG : 0));
      // alloc_hint: the stub bytes left from this fragment on.
      size_t left = reply_len - off;
      uint32_t hint = left > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(left);
      pdu_encode_response(flags, k.call_id, hint, k.cont_id, reply + off, n, &c->out);
      off += n;
    } while (off < reply_len);
  }
  rpc_reasm_reset(&c->reasm);
  if (c->reasm.cap > RPC_KEEP_BUFFER) rpc_reasm_release(&c->reasm);
  c->call = rpc_call{};
  c->state = RPC_SCONN_IDLE;
}

void rpc_sconn_execute(rpc_server_conn* c) {
  const rpc_call* k = rpc_sconn_call(c);
  if (k == nullptr) return;
  // Registered without a vector of its own, the interface's managers serve.
  const void* epv = k->target.epv != nullptr ? k->target.epv : k->target.iface->default_epv;
  std::vector<uint8_t> reply;
  rpc_stub_result r = k->target.iface->stubs[k->opnum](epv, k->stub, k->stub_len, &reply);
  rpc_sconn_finish(c, r, reply.data(), reply.size());
}

void rpc_sconn_take_output(rpc_server_conn* c, std::vector<uint8_t>* out) {
  if (out->empty()) {
    out->swap(c->out);
  } else {
    out->insert(out->end(), c->out.begin(), c->out.end());
  }
  rpc_trim_buffer(&c->out);
}

void rpc_trim_buffer(std::vector<uint8_t>* v) {
  v->clear();
  if (v->capacity() > RPC_KEEP_BUFFER) std::vector<uint8_t>().swap(*v);
}

// ---- Client side ----

namespace {

int bind_nak_status(uint16_t reason) {
  switch (reason) {
    case PDU_NAK_TEMPORARY_CONGESTION:
    case PDU_NAK_LOCAL_LIMIT_EXCEEDED:
      return RPC_S_SERVER_TOO_BUSY;
    case PDU_NAK_PROTOCOL_VERSION:
      return RPC_S_PROTOCOL_ERROR;
    case PDU_NAK_AUTH_TYPE:
      return RPC_S_UNKNOWN_AUTHN_SERVICE;
    case 9:  // invalid checksum
      return RPC_S_ACCESS_DENIED;
    default:
      return RPC_S_CALL_FAILED_DNE;
  }
}

int broken(rpc_client_conn* c) {
  c->broken = true;
  c->waiting = false;
  rpc_reasm_reset(&c->reasm);
  return RPC_S_PROTOCOL_ERROR;
}

// Smallest fragment size we agree to send with: below it a call would crawl.
constexpr uint16_t CLIENT_MIN_FRAG = 256;

int client_bind_answer(rpc_client_conn* c, const uint8_t* pdu, size_t len) {
  pdu_header h;
  if (c->framer.hdr.ptype == PDU_BIND_NAK) {
    pdu_bind_nak n;
    if (pdu_decode_bind_nak(pdu, len, &h, &n) != RPC_S_OK || h.call_id != c->call_id) {
      return broken(c);
    }
    c->waiting = false;
    c->broken = true;  // the server closes after a bind_nak
    return bind_nak_status(n.reject_reason);
  }
  pdu_bind_ack a;
  if (c->framer.hdr.ptype != PDU_BIND_ACK || pdu_decode_bind_ack(pdu, len, &h, &a) != RPC_S_OK ||
      h.call_id != c->call_id || a.results.empty() || a.max_recv_frag < CLIENT_MIN_FRAG) {
    return broken(c);
  }
  c->waiting = false;
  const pdu_result& r = a.results[0];
  if (r.result != PDU_ACCEPTANCE) {
    return r.reason == PDU_REASON_ABSTRACT_SYNTAX ? RPC_S_UNKNOWN_IF : RPC_S_SERVER_UNAVAILABLE;
  }
  if (!same_syntax(r.transfer, RPC_NDR20_SYNTAX)) return broken(c);
  c->max_xmit = a.max_recv_frag < RPC_MAX_FRAG ? a.max_recv_frag : RPC_MAX_FRAG;
  c->group = a.assoc_group_id;
  c->bound = true;
  return RPC_S_OK;
}

int client_call_answer(rpc_client_conn* c, const uint8_t* pdu, size_t len, int* event) {
  pdu_header h;
  if (c->framer.hdr.ptype == PDU_FAULT) {
    pdu_fault f;
    // A fault without a status is no answer at all.
    if (pdu_decode_fault(pdu, len, &h, &f) != RPC_S_OK || h.call_id != c->call_id ||
        f.status == 0) {
      return broken(c);
    }
    rpc_reasm_reset(&c->reasm);
    c->waiting = false;
    c->fault_status = f.status;
    c->fault_dne = (h.pfc_flags & PFC_DID_NOT_EXECUTE) != 0;
    return rpc_nca_to_status(f.status);
  }
  pdu_response r;
  if (c->framer.hdr.ptype != PDU_RESPONSE || pdu_decode_response(pdu, len, &h, &r) != RPC_S_OK ||
      h.call_id != c->call_id) {
    return broken(c);
  }
  bool complete;
  int st =
      rpc_reasm_add(&c->reasm, h.pfc_flags, h.call_id, r.cont_id, 0, r.stub, r.stub_len, &complete);
  if (st == RPC_S_OUT_OF_MEMORY) {
    c->waiting = false;
    c->broken = true;  // the rest of the reply would still arrive
    return st;
  }
  if (st != RPC_S_OK) return broken(c);
  if (complete) {
    c->waiting = false;
    *event = RPC_CCONN_REPLY;
  }
  return RPC_S_OK;
}

}  // namespace

void rpc_cconn_init(rpc_client_conn* c, const rpc_syntax_id& iface, uint32_t group) {
  c->iface = iface;
  c->cont_id = 0;
  c->max_xmit = RPC_MAX_FRAG;
  c->max_recv = RPC_MAX_FRAG;
  c->group = group;
  c->bound = false;
  c->broken = false;
  c->waiting = false;
  c->call_id = 0;
  c->fault_status = 0;
  c->fault_dne = false;
  rpc_framer_init(&c->framer, RPC_MAX_FRAG);
  rpc_reasm_init(&c->reasm, RPC_MAX_STUB);
}

void rpc_cconn_release(rpc_client_conn* c) { rpc_reasm_release(&c->reasm); }

void rpc_cconn_make_bind(rpc_client_conn* c, uint32_t call_id, std::vector<uint8_t>* out) {
  pdu_bind b;
  b.max_xmit_frag = RPC_MAX_FRAG;
  b.max_recv_frag = RPC_MAX_FRAG;
  b.assoc_group_id = c->group;
  b.contexts.push_back({c->cont_id, c->iface, {RPC_NDR20_SYNTAX}});
  pdu_encode_bind(PDU_BIND, PFC_FIRST_FRAG | PFC_LAST_FRAG, call_id, b, out);
  c->call_id = call_id;
  c->waiting = true;
}

int rpc_cconn_make_request(rpc_client_conn* c, uint32_t call_id, uint16_t opnum,
                           const rpc_uuid* object, const uint8_t* stub, size_t stub_len,
                           std::vector<uint8_t>* out) {
  if (!c->bound || c->broken) return RPC_S_INVALID_BINDING;
  if (stub_len > RPC_MAX_STUB) return RPC_S_INVALID_ARG;
  size_t chunk = c->max_xmit - PDU_REQUEST_HEADER_LEN - (object != nullptr ? 16 : 0);
  chunk &= ~size_t{7};
  size_t off = 0;
  do {
    size_t n = stub_len - off < chunk ? stub_len - off : chunk;
    uint8_t flags = static_cast<uint8_t>((off == 0 ? PFC_FIRST_FRAG : 0) |
                                         (off + n == stub_len ? PFC_LAST_FRAG : 0));
    pdu_encode_request(flags, call_id, static_cast<uint32_t>(stub_len - off), c->cont_id, opnum,
                       object, stub + off, n, out);
    off += n;
  } while (off < stub_len);
  rpc_reasm_reset(&c->reasm);
  c->call_id = call_id;
  c->waiting = true;
  return RPC_S_OK;
}

int rpc_cconn_receive(rpc_client_conn* c, const uint8_t* data, size_t len, size_t* consumed,
                      int* event) {
  *consumed = 0;
  *event = RPC_CCONN_MORE;
  if (c->broken) return RPC_S_PROTOCOL_ERROR;
  while (*consumed < len) {
    size_t used;
    bool ready;
    int st = rpc_framer_take(&c->framer, data + *consumed, len - *consumed, &used, &ready);
    *consumed += used;
    if (st != RPC_S_OK || (ready && !c->waiting)) return broken(c);
    if (!ready) break;
    const uint8_t* pdu = c->framer.buf;
    size_t pdu_len = c->framer.hdr.frag_length;
    bool binding = !c->bound;
    st = binding ? client_bind_answer(c, pdu, pdu_len) : client_call_answer(c, pdu, pdu_len, event);
    rpc_framer_next(&c->framer);
    if (st != RPC_S_OK) return st;
    if (binding) {
      *event = RPC_CCONN_BOUND;
      return st;
    }
    if (*event == RPC_CCONN_REPLY) return st;
  }
  return RPC_S_OK;
}

const uint8_t* rpc_cconn_reply(const rpc_client_conn* c, size_t* len) {
  *len = c->reasm.len;
  return c->reasm.data;
}

int rpc_nca_to_status(uint32_t nca) {
  switch (nca) {
    case NCA_S_OP_RNG_ERROR:
      return RPC_S_PROCNUM_OUT_OF_RANGE;
    case NCA_S_UNK_IF:
      return RPC_S_UNKNOWN_IF;
    case NCA_S_SERVER_TOO_BUSY:
      return RPC_S_SERVER_TOO_BUSY;
    case NCA_S_PROTO_ERROR:
    case NCA_S_RPC_VERSION_MISMATCH:
      return RPC_S_PROTOCOL_ERROR;
    // What a Windows server answers for a call it never started.
    case NCA_S_MANAGER_NOT_ENTERED:
    case NCA_S_UNSPEC_REJECT:
      return RPC_S_CALL_FAILED_DNE;
    case NCA_S_FAULT_INT_DIV_BY_ZERO:
      return RPC_S_ZERO_DIVIDE;
    case NCA_S_FAULT_ADDR_ERROR:
      return RPC_S_ADDRESS_ERROR;
    case NCA_S_FAULT_FP_DIV_ZERO:
      return RPC_S_FP_DIV_ZERO;
    case NCA_S_FAULT_FP_UNDERFLOW:
      return RPC_S_FP_UNDERFLOW;
    case NCA_S_FAULT_FP_OVERFLOW:
      return RPC_S_FP_OVERFLOW;
    case NCA_S_FAULT_INVALID_TAG:
      return RPC_S_INVALID_TAG;
    case NCA_S_FAULT_UNSPEC:
    case NCA_S_YOU_CRASHED:
      return RPC_S_CALL_FAILED;
    case NCA_S_FAULT_REMOTE_NO_MEMORY:
    case NCA_S_OUT_ARGS_TOO_BIG:
      return ERROR_NOT_ENOUGH_SERVER_MEMORY;
    case NCA_S_FAULT_INVALID_BOUND:
      return RPC_S_INVALID_BOUND;
    case NCA_S_FAULT_CANCEL:
      return RPC_S_CALL_CANCELLED;
    case NCA_S_FAULT_CONTEXT_MISMATCH:
      return RPC_X_SS_CONTEXT_MISMATCH;
    case NCA_S_COMM_FAILURE:
      return RPC_S_COMM_FAILURE;
    case NCA_S_UNSUPPORTED_TYPE:
      return RPC_S_UNSUPPORTED_TYPE;
    default:
      return static_cast<int>(nca);  // access denied (5), bad stub data (0x6F7) and others
  }
}
