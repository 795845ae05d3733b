#include "platform/rpc/pdu.h"

#include <cstring>

#include "platform/memory.h"
#include "platform/rpc/rpc_status.h"

namespace {

void put_uuid(std::vector<uint8_t>* out, const rpc_uuid& u) {
  uint8_t w[16];
  rpc_uuid_to_wire(u, w);
  out->insert(out->end(), w, w + 16);
}

void put_syntax(std::vector<uint8_t>* out, const rpc_syntax_id& s) {
  put_uuid(out, s.uuid);
  rpc_put_le16(out, s.major);
  rpc_put_le16(out, s.minor);
}

rpc_syntax_id get_syntax(const uint8_t* p) {
  rpc_syntax_id s;
  s.uuid = rpc_uuid_from_wire(p);
  s.major = rpc_get_le16(p + 16);
  s.minor = rpc_get_le16(p + 18);
  return s;
}

// Starts a PDU at the end of `out`; returns its offset for finish_pdu.
size_t begin_pdu(std::vector<uint8_t>* out, uint8_t ptype, uint8_t flags, uint32_t call_id) {
  size_t start = out->size();
  const uint8_t head[8] = {5, 0, ptype, flags, 0x10, 0, 0, 0};
  out->insert(out->end(), head, head + 8);
  rpc_put_le16(out, 0);  // frag_length, set by finish_pdu
  rpc_put_le16(out, 0);  // auth_length
  rpc_put_le32(out, call_id);
  return start;
}

void finish_pdu(std::vector<uint8_t>* out, size_t start) {
  size_t len = out->size() - start;
  (*out)[start + 8] = static_cast<uint8_t>(len);
  (*out)[start + 9] = static_cast<uint8_t>(len >> 8);
}

bool is_co_ptype(uint8_t t) {
  return t == PDU_REQUEST || t == PDU_RESPONSE || t == PDU_FAULT ||
         (t >= PDU_BIND && t <= PDU_ORPHANED);
}

// Checks the header of a whole PDU and returns in *body_end where its body
// ends: before the security trailer, its auth data and the padding the
// trailer declares.
int open_pdu(const uint8_t* pdu, size_t len, pdu_header* h, size_t* body_end) {
  if (len < PDU_HEADER_LEN) return RPC_S_PROTOCOL_ERROR;
  int st = pdu_header_decode(pdu, h);
  if (st != RPC_S_OK) return st;
  if (h->frag_length != len) return RPC_S_PROTOCOL_ERROR;
  size_t end = len;
  if (h->auth_length != 0) {
    // pdu_header_decode made sure that the trailer and auth data fit.
    end = len - h->auth_length - 8;
    uint8_t auth_pad = pdu[end + 2];
    if (auth_pad > end - PDU_HEADER_LEN) return RPC_S_PROTOCOL_ERROR;
    end -= auth_pad;
  }
  *body_end = end;
  return RPC_S_OK;
}

}  // namespace

int pdu_header_decode(const uint8_t* p, pdu_header* h) {
  h->rpc_vers = p[0];
  h->rpc_vers_minor = p[1];
  h->ptype = p[2];
  h->pfc_flags = p[3];
  std::memcpy(h->drep, p + 4, 4);
  h->frag_length = rpc_get_le16(p + 8);
  h->auth_length = rpc_get_le16(p + 10);
  h->call_id = rpc_get_le32(p + 12);
  if ((h->drep[0] & 0xF0) == 0) {
    // A big-endian sender is refused below; its bind_nak still names its call.
    h->call_id = static_cast<uint32_t>(p[12]) << 24 | static_cast<uint32_t>(p[13]) << 16 |
                 static_cast<uint32_t>(p[14]) << 8 | p[15];
  }
  // DCE 1.1 clients may say 5.1; the body is the same.
  if (h->rpc_vers != 5 || h->rpc_vers_minor > 1) return RPC_S_PROTOCOL_ERROR;
  // Byte 0: integers little-endian (high nibble 1), characters ASCII (low
  // nibble 0); byte 1: IEEE floating point.
  if (h->drep[0] != 0x10 || h->drep[1] != 0) return RPC_S_UNSUPPORTED_TRANS_SYN;
  if (!is_co_ptype(h->ptype)) return RPC_S_PROTOCOL_ERROR;
  if (h->frag_length < PDU_HEADER_LEN) return RPC_S_PROTOCOL_ERROR;
  if (h->auth_length != 0 &&
      static_cast<size_t>(h->auth_length) + 8 > h->frag_length - PDU_HEADER_LEN) {
    return RPC_S_PROTOCOL_ERROR;
  }
  return RPC_S_OK;
}

int pdu_decode_bind(const uint8_t* pdu, size_t len, pdu_header* h, pdu_bind* out) {
  size_t end;
  int st = open_pdu(pdu, len, h, &end);
  if (st != RPC_S_OK) return st;
  if (h->ptype != PDU_BIND && h->ptype != PDU_ALTER_CONTEXT) return RPC_S_PROTOCOL_ERROR;
  if (end < 28) return RPC_S_PROTOCOL_ERROR;
  out->max_xmit_frag = rpc_get_le16(pdu + 16);
  out->max_recv_frag = rpc_get_le16(pdu + 18);
  out->assoc_group_id = rpc_get_le32(pdu + 20);
  uint8_t n_ctx = pdu[24];
  out->contexts.clear();
  size_t off = 28;
  // Each element is checked against the bytes present before it is stored,
  // so the vectors never grow beyond what the PDU really holds.
  for (unsigned i = 0; i < n_ctx; ++i) {
    if (end - off < 24) return RPC_S_PROTOCOL_ERROR;
    pdu_pres_context c;
    c.cont_id = rpc_get_le16(pdu + off);
    uint8_t n_transfer = pdu[off + 2];
    c.abstract = get_syntax(pdu + off + 4);
    off += 24;
    if ((end - off) / 20 < n_transfer) return RPC_S_PROTOCOL_ERROR;
    c.transfers.reserve(n_transfer);
    for (unsigned j = 0; j < n_transfer; ++j, off += 20) {
      c.transfers.push_back(get_syntax(pdu + off));
    }
    out->contexts.push_back(std::move(c));
  }
  return RPC_S_OK;
}

int pdu_decode_bind_ack(const uint8_t* pdu, size_t len, pdu_header* h, pdu_bind_ack* out) {
  size_t end;
  int st = open_pdu(pdu, len, h, &end);
  if (st != RPC_S_OK) return st;
  if (h->ptype != PDU_BIND_ACK && h->ptype != PDU_ALTER_CONTEXT_RESP) {
    return RPC_S_PROTOCOL_ERROR;
  }
  if (end < 26) return RPC_S_PROTOCOL_ERROR;
  out->max_xmit_frag = rpc_get_le16(pdu + 16);
  out->max_recv_frag = rpc_get_le16(pdu + 18);
  out->assoc_group_id = rpc_get_le32(pdu + 20);
  size_t addr_len = rpc_get_le16(pdu + 24);
  if (end - 26 < addr_len) return RPC_S_PROTOCOL_ERROR;
  const char* addr = reinterpret_cast<const char*>(pdu + 26);
  // The length counts the NUL; keep the text up to it.
  out->sec_addr.assign(addr, strnlen(addr, addr_len));
  size_t off = (26 + addr_len + 3) & ~size_t{3};
  if (off > end || end - off < 4) return RPC_S_PROTOCOL_ERROR;
  uint8_t n_results = pdu[off];
  off += 4;
  if ((end - off) / 24 < n_results) return RPC_S_PROTOCOL_ERROR;
  out->results.clear();
  out->results.reserve(n_results);
  for (unsigned i = 0; i < n_results; ++i, off += 24) {
    pdu_result r;
    r.result = rpc_get_le16(pdu + off);
    r.reason = rpc_get_le16(pdu + off + 2);
    r.transfer = get_syntax(pdu + off + 4);
    out->results.push_back(r);
  }
  return RPC_S_OK;
}

int pdu_decode_bind_nak(const uint8_t* pdu, size_t len, pdu_header* h, pdu_bind_nak* out) {
  size_t end;
  int st = open_pdu(pdu, len, h, &end);
  if (st != RPC_S_OK) return st;
  if (h->ptype != PDU_BIND_NAK || end < 18) return RPC_S_PROTOCOL_ERROR;
  out->reject_reason = rpc_get_le16(pdu + 16);
  out->versions.clear();
  // The version list is optional: some servers end the PDU after the reason.
  if (end > 18) {
    size_t n = pdu[18];
    if ((end - 19) / 2 < n) return RPC_S_PROTOCOL_ERROR;
    out->versions.assign(pdu + 19, pdu + 19 + 2 * n);
  }
  return RPC_S_OK;
}

int pdu_decode_request(const uint8_t* pdu, size_t len, pdu_header* h, pdu_request* out) {
  size_t end;
  int st = open_pdu(pdu, len, h, &end);
  if (st != RPC_S_OK) return st;
  if (h->ptype != PDU_REQUEST) return RPC_S_PROTOCOL_ERROR;
  size_t head = PDU_REQUEST_HEADER_LEN;
  out->has_object = (h->pfc_flags & PFC_OBJECT_UUID) != 0;
  if (out->has_object) head += 16;
  if (end < head) return RPC_S_PROTOCOL_ERROR;
  out->alloc_hint = rpc_get_le32(pdu + 16);
  out->cont_id = rpc_get_le16(pdu + 20);
  out->opnum = rpc_get_le16(pdu + 22);
  out->object = out->has_object ? rpc_uuid_from_wire(pdu + 24) : rpc_uuid{};
  out->stub = pdu + head;
  out->stub_len = end - head;
  return RPC_S_OK;
}

int pdu_decode_response(const uint8_t* pdu, size_t len, pdu_header* h, pdu_response* out) {
  size_t end;
  int st = open_pdu(pdu, len, h, &end);
  if (st != RPC_S_OK) return st;
  if (h->ptype != PDU_RESPONSE || end < PDU_RESPONSE_HEADER_LEN) return RPC_S_PROTOCOL_ERROR;
  out->alloc_hint = rpc_get_le32(pdu + 16);
  out->cont_id = rpc_get_le16(pdu + 20);
  out->cancel_count = pdu[22];
  out->stub = pdu + PDU_RESPONSE_HEADER_LEN;
  out->stub_len = end - PDU_RESPONSE_HEADER_LEN;
  return RPC_S_OK;
}

int pdu_decode_fault(const uint8_t* pdu, size_t len, pdu_header* h, pdu_fault* out) {
  size_t end;
  int st = open_pdu(pdu, len, h, &end);
  if (st != RPC_S_OK) return st;
  if (h->ptype != PDU_FAULT || end < 28) return RPC_S_PROTOCOL_ERROR;
  out->alloc_hint = rpc_get_le32(pdu + 16);
  out->cont_id = rpc_get_le16(pdu + 20);
  out->cancel_count = pdu[22];
  out->flags = pdu[23];
  out->status = rpc_get_le32(pdu + 24);
  return RPC_S_OK;
}

int pdu_encode_bind(uint8_t ptype, uint8_t flags, uint32_t call_id, const pdu_bind& body,
                    std::vector<uint8_t>* out) {
  size_t size = 28;
  if (body.contexts.size() > 255) return RPC_S_INVALID_ARG;
  for (const pdu_pres_context& c : body.contexts) {
    if (c.transfers.size() > 255) return RPC_S_INVALID_ARG;
    size += 24 + 20 * c.transfers.size();
  }
  if (size > 0xFFFF) return RPC_S_INVALID_ARG;
  size_t start = begin_pdu(out, ptype, flags, call_id);
  rpc_put_le16(out, body.max_xmit_frag);
  rpc_put_le16(out, body.max_recv_frag);
  rpc_put_le32(out, body.assoc_group_id);
  rpc_put_le32(out, static_cast<uint32_t>(body.contexts.size()));  // n_ctx, 3 reserved bytes
  for (const pdu_pres_context& c : body.contexts) {
    rpc_put_le16(out, c.cont_id);
    rpc_put_le16(out, static_cast<uint16_t>(c.transfers.size()));  // n_transfer_syn, reserved
    put_syntax(out, c.abstract);
    for (const rpc_syntax_id& t : c.transfers) put_syntax(out, t);
  }
  finish_pdu(out, start);
  return RPC_S_OK;
}

int pdu_encode_bind_ack(uint8_t ptype, uint8_t flags, uint32_t call_id, const pdu_bind_ack& body,
                        std::vector<uint8_t>* out) {
  size_t addr_len = body.sec_addr.empty() ? 0 : body.sec_addr.size() + 1;
  size_t size = ((26 + addr_len + 3) & ~size_t{3}) + 4 + 24 * body.results.size();
  if (body.results.size() > 255 || size > 0xFFFF) return RPC_S_INVALID_ARG;
  size_t start = begin_pdu(out, ptype, flags, call_id);
  rpc_put_le16(out, body.max_xmit_frag);
  rpc_put_le16(out, body.max_recv_frag);
  rpc_put_le32(out, body.assoc_group_id);
  rpc_put_le16(out, static_cast<uint16_t>(addr_len));
  if (addr_len != 0) {
    out->insert(out->end(), body.sec_addr.begin(), body.sec_addr.end());
    out->push_back(0);
  }
  // The results start 4-aligned from the PDU start.
  while ((out->size() - start) % 4 != 0) out->push_back(0);
  rpc_put_le32(out, static_cast<uint32_t>(body.results.size()));  // n_results, 3 reserved bytes
  for (const pdu_result& r : body.results) {
    rpc_put_le16(out, r.result);
    rpc_put_le16(out, r.reason);
    put_syntax(out, r.transfer);
  }
  finish_pdu(out, start);
  return RPC_S_OK;
}

void pdu_encode_bind_nak(uint32_t call_id, uint16_t reason, std::vector<uint8_t>* out) {
  size_t start = begin_pdu(out, PDU_BIND_NAK, PFC_FIRST_FRAG | PFC_LAST_FRAG, call_id);
  rpc_put_le16(out, reason);
  out->push_back(1);  // one supported protocol version: 5.0
  out->push_back(5);
  out->push_back(0);
  out->push_back(0);
  rpc_put_le16(out, 0);
  finish_pdu(out, start);
}

int pdu_encode_request(uint8_t flags, uint32_t call_id, uint32_t alloc_hint, uint16_t cont_id,
                       uint16_t opnum, const rpc_uuid* object, const uint8_t* stub, size_t stub_len,
                       std::vector<uint8_t>* out) {
  size_t head = PDU_REQUEST_HEADER_LEN + (object != nullptr ? 16 : 0);
  if (stub_len > 0xFFFF - head) return RPC_S_INVALID_ARG;
  if (object != nullptr) flags |= PFC_OBJECT_UUID;
  if (out->empty()) out->reserve(head + stub_len);  // later fragments grow it geometrically
  size_t start = begin_pdu(out, PDU_REQUEST, flags, call_id);
  rpc_put_le32(out, alloc_hint);
  rpc_put_le16(out, cont_id);
  rpc_put_le16(out, opnum);
  if (object != nullptr) put_uuid(out, *object);
  if (stub_len != 0) out->insert(out->end(), stub, stub + stub_len);
  finish_pdu(out, start);
  return RPC_S_OK;
}

int pdu_encode_response(uint8_t flags, uint32_t call_id, uint32_t alloc_hint, uint16_t cont_id,
                        const uint8_t* stub, size_t stub_len, std::vector<uint8_t>* out) {
  if (stub_len > 0xFFFF - PDU_RESPONSE_HEADER_LEN) return RPC_S_INVALID_ARG;
  if (out->empty()) out->reserve(PDU_RESPONSE_HEADER_LEN + stub_len);  // as for requests
  size_t start = begin_pdu(out, PDU_RESPONSE, flags, call_id);
  rpc_put_le32(out, alloc_hint);
  rpc_put_le16(out, cont_id);
  rpc_put_le16(out, 0);  // cancel_count, reserved
  if (stub_len != 0) out->insert(out->end(), stub, stub + stub_len);
  finish_pdu(out, start);
  return RPC_S_OK;
}

void pdu_encode_fault(uint8_t flags, uint32_t call_id, uint16_t cont_id, uint32_t status,
                      std::vector<uint8_t>* out) {
  size_t start = begin_pdu(out, PDU_FAULT,
                           static_cast<uint8_t>(flags | PFC_FIRST_FRAG | PFC_LAST_FRAG), call_id);
  // Readers take alloc_hint - 32 as the length of extended error data: 32 says none.
  rpc_put_le32(out, static_cast<uint32_t>(PDU_FAULT_LEN));
  rpc_put_le16(out, cont_id);
  rpc_put_le16(out, 0);  // cancel_count, flags
  rpc_put_le32(out, status);
  rpc_put_le32(out, 0);
  finish_pdu(out, start);
}

void pdu_encode_bare(uint8_t ptype, uint8_t flags, uint32_t call_id, std::vector<uint8_t>* out) {
  size_t start = begin_pdu(out, ptype, flags, call_id);
  finish_pdu(out, start);
}

void rpc_framer_init(rpc_framer* f, uint16_t limit) {
  f->have = 0;
  f->limit = limit > RPC_MAX_FRAG ? RPC_MAX_FRAG : limit;
  std::memset(&f->hdr, 0, sizeof f->hdr);
}

int rpc_framer_take(rpc_framer* f, const uint8_t* data, size_t len, size_t* used, bool* ready) {
  *used = 0;
  *ready = false;
  if (f->have < PDU_HEADER_LEN) {
    size_t n = PDU_HEADER_LEN - f->have;
    if (n > len) n = len;
    std::memcpy(f->buf + f->have, data, n);
    f->have += n;
    *used = n;
    if (f->have < PDU_HEADER_LEN) return RPC_S_OK;
    int st = pdu_header_decode(f->buf, &f->hdr);
    if (st != RPC_S_OK) return st;
    if (f->hdr.frag_length > f->limit) return RPC_S_PROTOCOL_ERROR;
  }
  size_t n = f->hdr.frag_length - f->have;
  if (n > len - *used) n = len - *used;
  std::memcpy(f->buf + f->have, data + *used, n);
  f->have += n;
  *used += n;
  *ready = f->have == f->hdr.frag_length;
  return RPC_S_OK;
}

void rpc_framer_next(rpc_framer* f) { f->have = 0; }

void rpc_reasm_init(rpc_reassembly* r, size_t limit) {
  r->data = nullptr;
  r->len = 0;
  r->cap = 0;
  r->limit = limit;
  r->active = false;
  r->call_id = 0;
  r->cont_id = 0;
  r->opnum = 0;
}

void rpc_reasm_release(rpc_reassembly* r) {
  qor_free(r->data);
  rpc_reasm_init(r, r->limit);
}

void rpc_reasm_reset(rpc_reassembly* r) {
  r->len = 0;
  r->active = false;
}

int rpc_reasm_add(rpc_reassembly* r, uint8_t flags, uint32_t call_id, uint16_t cont_id,
                  uint16_t opnum, const uint8_t* stub, size_t stub_len, bool* complete) {
  *complete = false;
  bool first = (flags & PFC_FIRST_FRAG) != 0;
  if (first == r->active) {  // a new call inside one, or a continuation of none
    rpc_reasm_reset(r);
    return RPC_S_PROTOCOL_ERROR;
  }
  if (first) {
    r->active = true;
    r->len = 0;
    r->call_id = call_id;
    r->cont_id = cont_id;
    r->opnum = opnum;
  } else if (call_id != r->call_id || cont_id != r->cont_id || opnum != r->opnum) {
    rpc_reasm_reset(r);
    return RPC_S_PROTOCOL_ERROR;
  }
  if (stub_len > r->limit - r->len) {
    rpc_reasm_reset(r);
    return RPC_S_PROTOCOL_ERROR;
  }
  if (r->len + stub_len > r->cap) {
    // Doubling keeps a long call at a few copies; the cap keeps it in the limit.
    size_t cap = r->cap < 4096 ? 4096 : r->cap;
    while (cap < r->len + stub_len) cap *= 2;
    if (cap > r->limit) cap = r->limit;
    uint8_t* grown = static_cast<uint8_t*>(qor_realloc(r->data, cap));
    if (grown == nullptr) {
      rpc_reasm_reset(r);
      return RPC_S_OUT_OF_MEMORY;
    }
    r->data = grown;
    r->cap = cap;
  }
  if (stub_len != 0) std::memcpy(r->data + r->len, stub, stub_len);
  r->len += stub_len;
  if ((flags & PFC_LAST_FRAG) != 0) {
    r->active = false;
    *complete = true;
  }
  return RPC_S_OK;
}
