#include "platform/rpc/pdu.h"

#include <gtest/gtest.h>

#include "platform/rpc/rpc_status.h"
#include "rpc_vectors.h"

namespace {

const std::map<std::string, rpc_vector>& vectors() { return rpc_vectors("pdu_vectors.txt"); }
const rpc_bytes& vec(const std::string& name) { return rpc_vec("pdu_vectors.txt", name); }

// Decodes a PDU by its type and encodes it again from the decoded fields.
int reencode(const rpc_bytes& pdu, rpc_bytes* out) {
  const uint8_t* p = pdu.data();
  const size_t n = pdu.size();
  pdu_header h;
  pdu_bind b;
  pdu_bind_ack a;
  pdu_bind_nak k;
  pdu_request q;
  pdu_response r;
  pdu_fault f;
  int st = pdu_header_decode(p, &h);
  if (st != RPC_S_OK) return st;
  switch (h.ptype) {
    case PDU_BIND:
    case PDU_ALTER_CONTEXT:
      st = pdu_decode_bind(p, n, &h, &b);
      return st != RPC_S_OK ? st : pdu_encode_bind(h.ptype, h.pfc_flags, h.call_id, b, out);
    case PDU_BIND_ACK:
    case PDU_ALTER_CONTEXT_RESP:
      st = pdu_decode_bind_ack(p, n, &h, &a);
      return st != RPC_S_OK ? st : pdu_encode_bind_ack(h.ptype, h.pfc_flags, h.call_id, a, out);
    case PDU_BIND_NAK:
      st = pdu_decode_bind_nak(p, n, &h, &k);
      if (st == RPC_S_OK) pdu_encode_bind_nak(h.call_id, k.reject_reason, out);
      return st;
    case PDU_REQUEST:
      st = pdu_decode_request(p, n, &h, &q);
      return st != RPC_S_OK
                 ? st
                 : pdu_encode_request(h.pfc_flags & (PFC_FIRST_FRAG | PFC_LAST_FRAG), h.call_id,
                                      q.alloc_hint, q.cont_id, q.opnum,
                                      q.has_object ? &q.object : nullptr, q.stub, q.stub_len, out);
    case PDU_RESPONSE:
      st = pdu_decode_response(p, n, &h, &r);
      return st != RPC_S_OK ? st
                            : pdu_encode_response(h.pfc_flags, h.call_id, r.alloc_hint, r.cont_id,
                                                  r.stub, r.stub_len, out);
    case PDU_FAULT:
      st = pdu_decode_fault(p, n, &h, &f);
      if (st == RPC_S_OK)
        pdu_encode_fault(h.pfc_flags & PFC_DID_NOT_EXECUTE, h.call_id, f.cont_id, f.status, out);
      return st;
    default:
      pdu_encode_bare(h.ptype, h.pfc_flags, h.call_id, out);
      return RPC_S_OK;
  }
}

// Our encoders make impacket's bytes from the fields impacket meant (the
// assoc tests show it), so reading and writing again also shows every field read.
TEST(PduCodec, EveryImpacketVectorDecodesAndEncodesToTheSameBytes) {
  ASSERT_GE(vectors().size(), 20u);
  for (const auto& [name, v] : vectors()) {
    rpc_bytes out;
    ASSERT_EQ(RPC_S_OK, reencode(v.data, &out)) << name;
    EXPECT_EQ(out, v.data) << name;
  }
}

TEST(PduCodec, HostileHeadersLengthsAndCountsAreRefused) {
  const rpc_bytes &bind = vec("bind_impacket"), &ack = vec("bind_ack_49664");
  const rpc_bytes& empty = vec("request_empty");
  const int BAD = RPC_S_PROTOCOL_ERROR;
  const struct {
    const char* what;
    rpc_bytes pdu;
    int status;
  } cases[] = {
      {"VAX floating point", with(empty, 5, 0x01), RPC_S_UNSUPPORTED_TRANS_SYN},
      {"a connectionless type", with(empty, 2, 1), BAD},
      {"frag_length below the header", with(empty, 8, 15), BAD},
      {"auth_length without room for its trailer", with(empty, 10, 1), BAD},
      {"frag_length above the bytes present", rpc_bytes(bind.begin(), bind.end() - 1), BAD},
      {"n_transfer_syn beyond the PDU", with(bind, 30, 2), BAD},
      {"sec_addr_len beyond the PDU", with(ack, 24, 0xff), BAD},
      {"n_results beyond the PDU", with(ack, 32, 3), BAD},
      {"an object UUID claimed but absent", with(empty, 3, empty[3] | PFC_OBJECT_UUID), BAD},
  };
  for (const auto& c : cases) {
    rpc_bytes out;
    EXPECT_EQ(c.status, reencode(c.pdu, &out)) << c.what;
  }
  // Lawful at the edges: DCE 1.1, an auth trailer filling bind's 56-byte body, 255 results.
  pdu_header h;
  EXPECT_EQ(RPC_S_OK, pdu_header_decode(with(empty, 1, 1).data(), &h));
  EXPECT_EQ(RPC_S_OK, pdu_header_decode(with(bind, 10, 48).data(), &h));
  pdu_bind_ack most{4280, 4280, 1, "", std::vector<pdu_result>(255)};
  rpc_bytes out;
  EXPECT_EQ(RPC_S_OK, pdu_encode_bind_ack(PDU_BIND_ACK, 3, 1, most, &out));
}

// Fragments up to the limit are taken; past it the request is refused before its buffer grows.
TEST(PduReassembly, StopsAtTheLimitBeforeAllocating) {
  rpc_reassembly r;
  rpc_reasm_init(&r, 16000);
  const rpc_bytes piece(8000, 0x5a);
  bool complete;
  for (uint8_t flags : {PFC_FIRST_FRAG, uint8_t{0}})
    ASSERT_EQ(RPC_S_OK, rpc_reasm_add(&r, flags, 1, 0, 0, piece.data(), piece.size(), &complete));
  EXPECT_EQ(RPC_S_PROTOCOL_ERROR,
            rpc_reasm_add(&r, PFC_LAST_FRAG, 1, 0, 0, piece.data(), piece.size(), &complete));
  EXPECT_LE(r.cap, 16000u);
  rpc_reasm_release(&r);
}

}  // namespace
