// Connection-oriented DCE/RPC 5.0 PDUs as they travel over TCP: the 16-byte
// common header, the bodies of every PDU type the runtime sends or accepts,
// a framer that cuts a byte stream into whole PDUs, and the reassembly of a
// fragmented request or response stub.
//
// Everything here is a pure function of its inputs or of one record that the
// caller owns; nothing takes a lock. Integers are little-endian: the runtime
// speaks only the data representation "little-endian, ASCII, IEEE" and
// refuses the others.
//
// Decoders check every length and count against the bytes present before
// reading or allocating. Encoders append one whole PDU to `out`, so several
// PDUs can be queued in one buffer, and each PDU is contiguous (it must go
// out in one write).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/rpc/rpc_types.h"

// PDU types (PTYPE).
constexpr uint8_t PDU_REQUEST = 0;
constexpr uint8_t PDU_RESPONSE = 2;
constexpr uint8_t PDU_FAULT = 3;
constexpr uint8_t PDU_BIND = 11;
constexpr uint8_t PDU_BIND_ACK = 12;
constexpr uint8_t PDU_BIND_NAK = 13;
constexpr uint8_t PDU_ALTER_CONTEXT = 14;
constexpr uint8_t PDU_ALTER_CONTEXT_RESP = 15;
constexpr uint8_t PDU_AUTH3 = 16;
constexpr uint8_t PDU_SHUTDOWN = 17;
constexpr uint8_t PDU_CO_CANCEL = 18;
constexpr uint8_t PDU_ORPHANED = 19;

// pfc_flags.
constexpr uint8_t PFC_FIRST_FRAG = 0x01;
constexpr uint8_t PFC_LAST_FRAG = 0x02;
constexpr uint8_t PFC_PENDING_CANCEL = 0x04;
constexpr uint8_t PFC_CONC_MPX = 0x10;
constexpr uint8_t PFC_DID_NOT_EXECUTE = 0x20;
constexpr uint8_t PFC_MAYBE = 0x40;
constexpr uint8_t PFC_OBJECT_UUID = 0x80;

// Presentation context results and reasons (bind_ack, alter_context_resp).
constexpr uint16_t PDU_ACCEPTANCE = 0;
constexpr uint16_t PDU_USER_REJECTION = 1;
constexpr uint16_t PDU_PROVIDER_REJECTION = 2;
constexpr uint16_t PDU_REASON_NOT_SPECIFIED = 0;
constexpr uint16_t PDU_REASON_ABSTRACT_SYNTAX = 1;  // abstract syntax not supported
constexpr uint16_t PDU_REASON_TRANSFER_SYNTAX = 2;  // proposed transfer syntaxes not supported
constexpr uint16_t PDU_REASON_LOCAL_LIMIT = 3;      // local limit exceeded

// bind_nak reasons.
constexpr uint16_t PDU_NAK_NOT_SPECIFIED = 0;
constexpr uint16_t PDU_NAK_TEMPORARY_CONGESTION = 1;
constexpr uint16_t PDU_NAK_LOCAL_LIMIT_EXCEEDED = 2;
constexpr uint16_t PDU_NAK_PROTOCOL_VERSION = 4;
constexpr uint16_t PDU_NAK_USER_DATA_NOT_READABLE = 6;
constexpr uint16_t PDU_NAK_AUTH_TYPE = 8;

constexpr size_t PDU_HEADER_LEN = 16;
constexpr size_t PDU_REQUEST_HEADER_LEN = 24;  // 40 with an object UUID
constexpr size_t PDU_RESPONSE_HEADER_LEN = 24;
constexpr size_t PDU_FAULT_LEN = 32;

// Limits of the runtime.
// The largest fragment the runtime negotiates or accepts (Windows' own limit):
// every fragment is framed in a fixed buffer of this size.
constexpr uint16_t RPC_MAX_FRAG = 5840;
// The smallest fragment size the server negotiates: below it, clients that
// reserve room for security trailers (impacket keeps 128 bytes) cannot send.
constexpr uint16_t RPC_MIN_FRAG = 2048;
// The largest reassembled request or response stub: 4 MiB. The largest
// legitimate call of the name service is far below it; a peer announcing
// more is refused before the memory is taken.
constexpr size_t RPC_MAX_STUB = 4u << 20;

// The common header.
struct pdu_header {
  uint8_t rpc_vers;
  uint8_t rpc_vers_minor;
  uint8_t ptype;
  uint8_t pfc_flags;
  uint8_t drep[4];
  uint16_t frag_length;
  uint16_t auth_length;
  uint32_t call_id;
};

// Reads the 16 bytes at `p` into `h` (always filled, integers read as
// little-endian) and checks them: RPC_S_OK; RPC_S_UNSUPPORTED_TRANS_SYN when
// the data representation is not little-endian ASCII IEEE;
// RPC_S_PROTOCOL_ERROR for a version other than 5.0/5.1, a PDU type that is
// not connection-oriented, a frag_length below the header, or an auth_length
// that does not fit in frag_length with its trailer.
int pdu_header_decode(const uint8_t* p, pdu_header* h);

// One presentation context proposed in bind or alter_context.
struct pdu_pres_context {
  uint16_t cont_id;
  rpc_syntax_id abstract;
  std::vector<rpc_syntax_id> transfers;
};

// The body of bind and alter_context.
struct pdu_bind {
  uint16_t max_xmit_frag;
  uint16_t max_recv_frag;
  uint32_t assoc_group_id;
  std::vector<pdu_pres_context> contexts;
};

// One result of bind_ack or alter_context_resp.
struct pdu_result {
  uint16_t result;
  uint16_t reason;
  rpc_syntax_id transfer;  // all zero on rejection
};

// The body of bind_ack and alter_context_resp.
struct pdu_bind_ack {
  uint16_t max_xmit_frag;
  uint16_t max_recv_frag;
  uint32_t assoc_group_id;
  std::string sec_addr;  // without its NUL; empty: length 0
  std::vector<pdu_result> results;
};

struct pdu_bind_nak {
  uint16_t reject_reason;
  std::vector<uint8_t> versions;  // major, minor pairs
};

// request; `stub` points into the decoded PDU.
struct pdu_request {
  uint32_t alloc_hint;
  uint16_t cont_id;
  uint16_t opnum;
  bool has_object;
  rpc_uuid object;
  const uint8_t* stub;
  size_t stub_len;
};

// response; `stub` points into the decoded PDU.
struct pdu_response {
  uint32_t alloc_hint;
  uint16_t cont_id;
  uint8_t cancel_count;
  const uint8_t* stub;
  size_t stub_len;
};

struct pdu_fault {
  uint32_t alloc_hint;
  uint16_t cont_id;
  uint8_t cancel_count;
  uint8_t flags;
  uint32_t status;
};

// Decoders of one whole PDU of `len` bytes (len must equal its frag_length).
// Each checks the header as pdu_header_decode does and that the PDU type is
// the one expected. Statuses: RPC_S_OK; RPC_S_UNSUPPORTED_TRANS_SYN (data
// representation); RPC_S_PROTOCOL_ERROR for anything malformed (a count or
// length claiming more than the PDU holds, the wrong type). On failure the
// out-record is unspecified but owns nothing that needs freeing.
// pdu_decode_bind accepts bind and alter_context.
int pdu_decode_bind(const uint8_t* pdu, size_t len, pdu_header* h, pdu_bind* out);
// Accepts bind_ack and alter_context_resp.
int pdu_decode_bind_ack(const uint8_t* pdu, size_t len, pdu_header* h, pdu_bind_ack* out);
int pdu_decode_bind_nak(const uint8_t* pdu, size_t len, pdu_header* h, pdu_bind_nak* out);
int pdu_decode_request(const uint8_t* pdu, size_t len, pdu_header* h, pdu_request* out);
int pdu_decode_response(const uint8_t* pdu, size_t len, pdu_header* h, pdu_response* out);
int pdu_decode_fault(const uint8_t* pdu, size_t len, pdu_header* h, pdu_fault* out);

// Encoders: append one PDU to `out`. `ptype` chooses bind or alter_context
// (resp. bind_ack or alter_context_resp). RPC_S_OK, or RPC_S_INVALID_ARG when
// the PDU would not fit its counts or a 16-bit frag_length (more than 255
// contexts or transfer syntaxes, a stub too large); `out` is then unchanged.
int pdu_encode_bind(uint8_t ptype, uint8_t flags, uint32_t call_id, const pdu_bind& body,
                    std::vector<uint8_t>* out);
int pdu_encode_bind_ack(uint8_t ptype, uint8_t flags, uint32_t call_id, const pdu_bind_ack& body,
                        std::vector<uint8_t>* out);
// One supported version (5.0), padded to 24 bytes.
void pdu_encode_bind_nak(uint32_t call_id, uint16_t reason, std::vector<uint8_t>* out);
// `object` null: no object UUID. `flags` carries FIRST/LAST_FRAG (OBJECT_UUID is added here).
int pdu_encode_request(uint8_t flags, uint32_t call_id, uint32_t alloc_hint, uint16_t cont_id,
                       uint16_t opnum, const rpc_uuid* object, const uint8_t* stub, size_t stub_len,
                       std::vector<uint8_t>* out);
int pdu_encode_response(uint8_t flags, uint32_t call_id, uint32_t alloc_hint, uint16_t cont_id,
                        const uint8_t* stub, size_t stub_len, std::vector<uint8_t>* out);
// alloc_hint 32, cancel_count 0, no extended error information. `flags` adds
// PFC_DID_NOT_EXECUTE where the call certainly did not run.
void pdu_encode_fault(uint8_t flags, uint32_t call_id, uint16_t cont_id, uint32_t status,
                      std::vector<uint8_t>* out);
// shutdown, co_cancel, orphaned: a bare header.
void pdu_encode_bare(uint8_t ptype, uint8_t flags, uint32_t call_id, std::vector<uint8_t>* out);

// Framer: collects a byte stream, however it is split, into whole PDUs in a
// fixed buffer. `limit` is the largest fragment accepted (the negotiated
// receive size, at most RPC_MAX_FRAG).
struct rpc_framer {
  uint8_t buf[RPC_MAX_FRAG];
  size_t have;
  uint16_t limit;
  pdu_header hdr;  // valid once 16 bytes are in
};

void rpc_framer_init(rpc_framer* f, uint16_t limit);
// Takes bytes from data[0..len) until one PDU is whole; *used says how many.
// RPC_S_OK with *ready set when f->buf holds a whole PDU of f->hdr.frag_length
// bytes (call rpc_framer_next before feeding more), or clear when all of the
// input was taken. Errors (the stream cannot be resynchronised; f->hdr holds
// what the header said): the statuses of pdu_header_decode, and
// RPC_S_PROTOCOL_ERROR for a frag_length above the limit.
int rpc_framer_take(rpc_framer* f, const uint8_t* data, size_t len, size_t* used, bool* ready);
// Drops the PDU held, ready for the next.
void rpc_framer_next(rpc_framer* f);

// Reassembly of one fragmented stub (a request on the server, a response on
// the client). The buffer grows with the fragments received, never on what
// alloc_hint announces, and only up to `limit`. Memory from qor_realloc.
struct rpc_reassembly {
  uint8_t* data;
  size_t len;
  size_t cap;
  size_t limit;
  bool active;  // a first fragment came, the last not yet
  uint32_t call_id;
  uint16_t cont_id;
  uint16_t opnum;
};

void rpc_reasm_init(rpc_reassembly* r, size_t limit);
// Frees the buffer and forgets the call.
void rpc_reasm_release(rpc_reassembly* r);
// Adds one fragment of call `call_id` with pfc flags `flags` (opnum 0 for
// responses). *complete is set once the last fragment is in: the stub is then
// r->data[0..r->len) until the next add or release. Statuses: RPC_S_OK;
// RPC_S_PROTOCOL_ERROR for a fragment out of sequence (a first fragment
// while a call is open, a later one with none open, another call_id, a
// changed context or operation number) or a stub growing past the limit;
// RPC_S_OUT_OF_MEMORY. After an error the call is forgotten.
int rpc_reasm_add(rpc_reassembly* r, uint8_t flags, uint32_t call_id, uint16_t cont_id,
                  uint16_t opnum, const uint8_t* stub, size_t stub_len, bool* complete);
// Forgets the call in progress (a new call starts empty), keeping the buffer.
void rpc_reasm_reset(rpc_reassembly* r);
