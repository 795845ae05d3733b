#include "platform/rpc/pdu.h"

#include <gtest/gtest.h>

#include <cstring>

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
      if (st == RPC_S_OK) {
        pdu_encode_fault(h.pfc_flags & PFC_DID_NOT_EXECUTE, h.call_id, f.cont_id, f.status, out);
      }
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

TEST(PduCodec, HeaderRefusesOtherRepresentationsVersionsAndTypes) {
  rpc_bytes base = vec("request_empty");
  struct Case {
    size_t off;
    uint8_t value;
    int status;
  } cases[] = {
      {4, 0x00, RPC_S_UNSUPPORTED_TRANS_SYN},  // big-endian integers
      {4, 0x11, RPC_S_UNSUPPORTED_TRANS_SYN},  // EBCDIC characters
      {5, 0x01, RPC_S_UNSUPPORTED_TRANS_SYN},  // VAX floating point
      {0, 4, RPC_S_PROTOCOL_ERROR},            // rpc_vers
      {1, 2, RPC_S_PROTOCOL_ERROR},            // rpc_vers_minor
      {2, 1, RPC_S_PROTOCOL_ERROR},            // a connectionless type
      {2, 20, RPC_S_PROTOCOL_ERROR},           // rts, HTTP only
      {8, 15, RPC_S_PROTOCOL_ERROR},           // frag_length below the header
      {10, 1, RPC_S_PROTOCOL_ERROR},           // auth_length without room for its trailer
  };
  for (const Case& c : cases) {
    rpc_bytes pdu = base;
    pdu[c.off] = c.value;
    pdu_header h;
    EXPECT_EQ(c.status, pdu_header_decode(pdu.data(), &h)) << c.off;
  }
  rpc_bytes minor1 = base;
  minor1[1] = 1;  // DCE 1.1 clients
  pdu_header h;
  EXPECT_EQ(RPC_S_OK, pdu_header_decode(minor1.data(), &h));
}

// Sets frag_length to the PDU's real size, as a hostile peer would to make a
// truncated or overlong body look consistent.
void fix_length(rpc_bytes* pdu) {
  (*pdu)[8] = static_cast<uint8_t>(pdu->size());
  (*pdu)[9] = static_cast<uint8_t>(pdu->size() >> 8);
}

rpc_bytes with(rpc_bytes pdu, size_t off, uint8_t value) {
  pdu[off] = value;
  return pdu;
}

TEST(PduCodec, HostileLengthsAndCountsAreRefused) {
  const rpc_bytes &bind = vec("bind_impacket"), &ack = vec("bind_ack_49664");
  rpc_bytes longer = bind;
  longer.push_back(0);
  // An auth trailer whose padding exceeds the body.
  rpc_bytes auth = vec("request_op3");
  const uint8_t trailer[8] = {10, 2, 200, 0, 0, 0, 0, 0};
  auth.insert(auth.end(), trailer, trailer + 8);
  auth.insert(auth.end(), 16, 0x20);
  auth[10] = 16;
  fix_length(&auth);
  const struct {
    const char* what;
    rpc_bytes pdu;
  } cases[] = {
      {"frag_length above the bytes present", rpc_bytes(bind.begin(), bind.end() - 1)},
      {"frag_length below the bytes present", longer},
      {"n_ctx beyond the PDU", with(bind, 24, 200)},
      {"n_transfer_syn beyond the PDU", with(bind, 30, 2)},
      {"sec_addr_len beyond the PDU", with(ack, 24, 0xff)},
      {"n_results beyond the PDU", with(ack, 32, 3)},
      {"an object UUID claimed but absent",
       with(vec("request_empty"), 3, vec("request_empty")[3] | PFC_OBJECT_UUID)},
      {"auth padding beyond the body", auth},
  };
  for (const auto& c : cases) {
    rpc_bytes out;
    EXPECT_EQ(RPC_S_PROTOCOL_ERROR, reencode(c.pdu, &out)) << c.what;
  }
  pdu_header h;
  pdu_request q;
  auth[48 + 2] = 4;  // auth_pad_len: the trailer starts after the 48-byte request
  ASSERT_EQ(RPC_S_OK, pdu_decode_request(auth.data(), auth.size(), &h, &q));
  EXPECT_EQ(q.stub_len, 20u);
  pdu_bind b;  // a decoder given the wrong type
  EXPECT_EQ(RPC_S_PROTOCOL_ERROR, pdu_decode_bind(ack.data(), ack.size(), &h, &b));
}

// Every prefix of every vector, presented as a whole PDU, decodes or is
// refused without reading past its end (ASan sees any overrun).
TEST(PduCodec, EveryTruncationIsHandled) {
  for (const auto& [name, v] : vectors()) {
    for (size_t len = PDU_HEADER_LEN; len < v.data.size(); ++len) {
      rpc_bytes cut(v.data.begin(), v.data.begin() + static_cast<std::ptrdiff_t>(len));
      fix_length(&cut);
      rpc_bytes heap(cut);  // exact-size block
      rpc_bytes out;
      int st = reencode(heap, &out);
      EXPECT_TRUE(st == RPC_S_OK || st == RPC_S_PROTOCOL_ERROR) << name << " " << len;
    }
  }
}

TEST(PduCodec, EncodersRefuseWhatCannotBeCounted) {
  rpc_bytes out;
  pdu_bind b{4280, 4280, 0, {}};
  b.contexts.resize(256, pdu_pres_context{0, RPC_NDR20_SYNTAX, {RPC_NDR20_SYNTAX}});
  EXPECT_EQ(RPC_S_INVALID_ARG, pdu_encode_bind(PDU_BIND, 3, 1, b, &out));
  rpc_bytes big(70000);
  EXPECT_EQ(RPC_S_INVALID_ARG,
            pdu_encode_request(3, 1, 0, 0, 0, nullptr, big.data(), big.size(), &out));
  EXPECT_EQ(RPC_S_INVALID_ARG, pdu_encode_response(3, 1, 0, 0, big.data(), big.size(), &out));
  EXPECT_TRUE(out.empty());
}

// ---- Framer ----
// Streams split anywhere, down to single bytes: AssocServer.Conversations
// plays every exchange whole and byte by byte.

TEST(PduFramer, RefusesAFragmentAboveTheLimitOnceItsHeaderIsIn) {
  rpc_framer* f = new rpc_framer;
  rpc_framer_init(f, 2048);
  const rpc_bytes& big = vec("request_5000_0");  // 1944 bytes: fits
  size_t used;
  bool ready;
  ASSERT_EQ(RPC_S_OK, rpc_framer_take(f, big.data(), big.size(), &used, &ready));
  EXPECT_TRUE(ready);
  rpc_framer_next(f);
  rpc_bytes over = vec("response_10000_0");  // 4280 bytes
  EXPECT_EQ(RPC_S_OK, rpc_framer_take(f, over.data(), 15, &used, &ready));
  EXPECT_EQ(RPC_S_PROTOCOL_ERROR, rpc_framer_take(f, over.data() + 15, 1, &used, &ready));
  EXPECT_EQ(f->hdr.frag_length, 4280);
  delete f;
}

// ---- Reassembly ----

struct Fragment {
  uint8_t flags;
  uint32_t call_id;
  uint16_t cont_id;
  uint16_t opnum;
  size_t len;
};

// Feeds fragments of a pattern; returns the status of the first failure, or
// RPC_S_OK with *complete from the last.
int feed(rpc_reassembly* r, const std::vector<Fragment>& frags, bool* complete) {
  static const rpc_bytes pattern(8192, 0x5a);
  for (const Fragment& f : frags) {
    int st =
        rpc_reasm_add(r, f.flags, f.call_id, f.cont_id, f.opnum, pattern.data(), f.len, complete);
    if (st != RPC_S_OK) return st;
  }
  return RPC_S_OK;
}

TEST(PduReassembly, OutOfSequenceFragmentsAreProtocolErrors) {
  const uint8_t F = PFC_FIRST_FRAG, L = PFC_LAST_FRAG;
  struct Case {
    const char* what;
    std::vector<Fragment> frags;
  } cases[] = {
      {"middle without first", {{0, 1, 0, 2, 10}}},
      {"last without first", {{L, 1, 0, 2, 10}}},
      {"first twice", {{F, 1, 0, 2, 10}, {F, 1, 0, 2, 10}}},
      {"call_id changes", {{F, 1, 0, 2, 10}, {L, 2, 0, 2, 10}}},
      {"opnum changes", {{F, 1, 0, 2, 10}, {0, 1, 0, 2, 10}, {L, 1, 0, 3, 10}}},
      {"context changes", {{F, 1, 0, 2, 10}, {L, 1, 1, 2, 10}}},
  };
  for (const Case& c : cases) {
    rpc_reassembly r;
    rpc_reasm_init(&r, RPC_MAX_STUB);
    bool complete;
    EXPECT_EQ(RPC_S_PROTOCOL_ERROR, feed(&r, c.frags, &complete)) << c.what;
    EXPECT_FALSE(r.active) << c.what;
    // The reassembler starts clean afterwards.
    EXPECT_EQ(RPC_S_OK, feed(&r, {{F | L, 9, 0, 0, 3}}, &complete)) << c.what;
    EXPECT_TRUE(complete);
    EXPECT_EQ(r.len, 3u);
    rpc_reasm_release(&r);
  }
}

TEST(PduReassembly, StopsAtTheLimitBeforeAllocating) {
  rpc_reassembly r;
  rpc_reasm_init(&r, 20000);
  bool complete;
  std::vector<Fragment> frags = {{PFC_FIRST_FRAG, 1, 0, 0, 8000}, {0, 1, 0, 0, 8000}};
  ASSERT_EQ(RPC_S_OK, feed(&r, frags, &complete));
  EXPECT_LE(r.cap, 20000u);
  EXPECT_EQ(RPC_S_PROTOCOL_ERROR, feed(&r, {{PFC_LAST_FRAG, 1, 0, 0, 8000}}, &complete));
  EXPECT_LE(r.cap, 20000u);
  rpc_reasm_release(&r);
}

}  // namespace
