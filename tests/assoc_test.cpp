#include "platform/rpc/assoc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "platform/rpc/rpc_status.h"
#include "rpc_vectors.h"

namespace {

const rpc_bytes& vec(const std::string& name) { return rpc_vec("pdu_vectors.txt", name); }

// The test interface: b1da8d70-4984-11d0-b98c-00a0248df91a v1.1.
//   op0, op3: echo the request stub.
//   op1: the manager ran and failed (access denied).
//   op2: the stub could not unmarshal (did not execute), or with a 4-byte
//        stub n, replies n bytes of (i * 7) & 0xff.
rpc_stub_result echo(const void*, const uint8_t* in, size_t len, std::vector<uint8_t>* out) {
  out->assign(in, in + len);
  return {0, true};
}
rpc_stub_result refuse(const void*, const uint8_t*, size_t, std::vector<uint8_t>*) {
  return {NCA_S_FAULT_ACCESS_DENIED, true};
}
rpc_stub_result sized(const void*, const uint8_t* in, size_t len, std::vector<uint8_t>* out) {
  if (len != 4) return {NCA_S_FAULT_NDR, false};
  uint32_t n;
  memcpy(&n, in, 4);
  for (uint32_t i = 0; i < n; ++i) out->push_back(static_cast<uint8_t>(i * 7));
  return {0, true};
}
const rpc_server_stub_t test_stubs[] = {echo, refuse, sized, echo};
const rpc_server_interface test_if = {
    {{0xb1da8d70, 0x4984, 0x11d0, {0xb9, 0x8c, 0x00, 0xa0, 0x24, 0x8d, 0xf9, 0x1a}}, 1, 1},
    4,
    test_stubs,
    nullptr};
const rpc_server_interface epm_if = {RPC_EPM_SYNTAX, 1, test_stubs, nullptr};
const rpc_if_entry entries[] = {{&test_if, nullptr}, {&epm_if, nullptr}};
rpc_if_list registered = {entries, 2};

// One server connection and the output it produced.
struct Conn {
  std::unique_ptr<rpc_server_conn> c{new rpc_server_conn};
  rpc_bytes sent;

  explicit Conn(rpc_assoc_groups* groups) {
    rpc_sconn_init(c.get(), {rpc_if_list_lookup, &registered, groups, "49664"});
  }
  ~Conn() { rpc_sconn_release(c.get()); }

  // Feeds `in` in pieces of `piece` bytes, executing calls as they complete.
  int feed(const rpc_bytes& in, size_t piece = SIZE_MAX) {
    int state = RPC_SCONN_IDLE;
    for (size_t off = 0; off < in.size() && state != RPC_SCONN_CLOSE;) {
      // Each piece in a block of its own, so that reading past it shows.
      rpc_bytes chunk(in.begin() + off, in.begin() + off + std::min(piece, in.size() - off));
      size_t used;
      state = rpc_sconn_receive(c.get(), chunk.data(), chunk.size(), &used);
      EXPECT_LE(used, chunk.size());
      off += used;
      if (state == RPC_SCONN_CALL) {
        rpc_sconn_execute(c.get());
        state = RPC_SCONN_IDLE;
      }
    }
    rpc_sconn_take_output(c.get(), &sent);
    return state;
  }
};

rpc_bytes request(uint8_t flags, uint32_t call_id, uint16_t cont_id, uint16_t opnum,
                  const rpc_bytes& stub) {
  rpc_bytes out;
  pdu_encode_request(flags, call_id, static_cast<uint32_t>(stub.size()), cont_id, opnum, nullptr,
                     stub.data(), stub.size(), &out);
  return out;
}

rpc_bytes fault(uint32_t call_id, uint16_t cont_id, uint32_t status, bool dne = true) {
  rpc_bytes out;
  pdu_encode_fault(dne ? PFC_DID_NOT_EXECUTE : 0, call_id, cont_id, status, &out);
  return out;
}

// Rewrites the fragment sizes (two LE16s) a bind proposes or its bind_ack grants.
rpc_bytes with_frag(rpc_bytes bind, uint16_t xmit, uint16_t recv) {
  for (int i = 0; i < 4; ++i) bind[16 + i] = uint8_t((i < 2 ? xmit : recv) >> (i % 2) * 8);
  return bind;
}

rpc_bytes response(uint32_t call_id, uint16_t cont_id, const rpc_bytes& stub) {
  rpc_bytes out;
  pdu_encode_response(PFC_FIRST_FRAG | PFC_LAST_FRAG, call_id, static_cast<uint32_t>(stub.size()),
                      cont_id, stub.data(), stub.size(), &out);
  return out;
}

rpc_bytes operator+(rpc_bytes a, const rpc_bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const uint8_t F = PFC_FIRST_FRAG, L = PFC_LAST_FRAG, FL = F | L;

// A conversation with one server connection: what the client sends at each
// step, what the server must answer (unset: not compared), and the state the
// connection ends in. Each is played whole and again one byte at a time.
struct Step {
  rpc_bytes in;
  std::optional<rpc_bytes> out;
  long fail_alloc = 0;  // the allocation made to fail while `in` is read
};
struct Exchange {
  const char* what;
  std::vector<Step> steps;
  int end = RPC_SCONN_IDLE;
};

TEST(AssocServer, Conversations) {
  const rpc_bytes bind = vec("bind_impacket"), ack = vec("bind_ack_49664");
  const rpc_bytes nak_unspecified = vec("bind_nak_unspecified");
  rpc_bytes not_readable, local_limit;
  pdu_encode_bind_nak(1, PDU_NAK_USER_DATA_NOT_READABLE, &not_readable);
  pdu_encode_bind_nak(1, PDU_NAK_LOCAL_LIMIT_EXCEEDED, &local_limit);
  rpc_bytes big_endian = with(bind, 4, 0);  // its call id 1 written big-endian too
  std::reverse(big_endian.begin() + 12, big_endian.begin() + 16);
  const int CLOSE = RPC_SCONN_CLOSE, IDLE = RPC_SCONN_IDLE;
  rpc_bytes too_big;  // a reply size for op2 above the limit
  rpc_put_le32(&too_big, RPC_MAX_STUB + 1);
  const Exchange cases[] = {
      {"impacket's bind and calls",
       {{bind, ack},
        {vec("request_op3"), vec("response_24")},
        {vec("request_object"), fault(2, 0, NCA_S_FAULT_ACCESS_DENIED, false)},
        {vec("request_empty"), response(3, 0, {})}}},
      {"alter_context adds a context",
       {{bind, ack},
        {vec("alter_context_impacket"), vec("alter_context_resp")},
        {request(FL, 7, 1, 0, {9}), response(7, 1, {9})}}},
      {"an interface that differs only in its last octet is not ours",
       {{with(bind, 47, 0x1b), std::nullopt},
        {request(FL, 2, 0, 0, {1}), fault(2, 0, NCA_S_UNK_IF)}}},
      // The smaller of the proposed sizes, within 2048..5840, rounded down to 8.
      {"fragment sizes 3001/4000", {{with_frag(bind, 3001, 4000), with_frag(ack, 3000, 3000)}}},
      // Refused calls: did-not-execute unless the manager ran; a refused
      // fragmented call faults once, its other fragments are dropped; a reply
      // above the limit faults instead of being sent.
      {"refused calls",
       {{bind, ack},
        {request(FL, 6, 0, 2, {1}), fault(6, 0, NCA_S_FAULT_NDR)},
        {request(F, 7, 5, 0, {1}) + vec("orphaned") + request(0, 7, 5, 0, {2}) +
             request(L, 7, 5, 0, {3}),
         fault(7, 0, NCA_S_UNK_IF)},
        {request(FL, 8, 0, 2, too_big), fault(8, 0, NCA_S_OUT_ARGS_TOO_BIG, false)},
        {vec("request_op3"), vec("response_24")}}},
      {"no memory while reassembling faults that call only",
       {{bind, ack},
        {request(F, 3, 0, 0, {1}) + request(L, 3, 0, 0, {2}),
         fault(3, 0, NCA_S_FAULT_REMOTE_NO_MEMORY), 1},
        {vec("request_op3"), vec("response_24")}}},
      // Protocol errors fault and close the connection for good.
      {"a fragment above the negotiated size",
       {{with_frag(bind, 2048, 2048), vec("bind_ack_2048")},
        {request(FL, 3, 0, 0, rpc_bytes(3000, 1)), fault(3, 0, NCA_S_PROTO_ERROR)}},
       CLOSE},
      {"a request carrying authentication data (we offer none): nca_s_proto_error",
       {{bind, ack}, {with(request(FL, 3, 0, 0, rpc_bytes(16)), 10, 4), fault(3, 0, 0x1c01000b)}},
       CLOSE},
      {"alter_context without a context",
       {{bind, ack}, {with(vec("alter_context_impacket"), 24, 0), fault(6, 0, NCA_S_PROTO_ERROR)}},
       CLOSE},
      {"a first fragment inside a call, even one refused (op 3 of the mapper's context)",
       {{bind, ack},
        {vec("alter_context_impacket"), vec("alter_context_resp")},
        {request(F, 10, 0, 3, {1}) + request(FL, 11, 1, 3, {2}), fault(11, 0, NCA_S_PROTO_ERROR)}},
       CLOSE},
      // Bad binds get a bind_nak and the connection closes.
      {"version 5.2", {{with(bind, 1, 2), vec("bind_nak_version")}}, CLOSE},
      {"version 4.0", {{with(bind, 0, 4), vec("bind_nak_version")}}, CLOSE},
      {"big-endian", {{big_endian, not_readable}}, CLOSE},
      {"no context", {{with(bind, 24, 0), nak_unspecified}}, CLOSE},
      {"a 5.1 bind longer than we take", {{with(with(bind, 1, 1), 9, 0xff), local_limit}}, CLOSE},
      {"n_ctx beyond the PDU", {{with(bind, 24, 3), nak_unspecified}}, CLOSE},
      {"a second bind", {{bind, ack}, {bind, nak_unspecified}}, CLOSE},
      {"joining an association group that does not exist",
       {{with(with(bind, 20, 0xf0), 21, 0x53), nak_unspecified}},
       CLOSE},
      {"no memory for a new association group", {{bind, local_limit, 1}}, CLOSE},
  };
  for (const Exchange& c : cases) {
    for (size_t piece : {SIZE_MAX, size_t{1}}) {
      SCOPED_TRACE(testing::Message() << c.what << (piece == 1 ? ", byte by byte" : ""));
      rpc_assoc_groups* g = rpc_assoc_groups_create();
      auto k = std::make_unique<Conn>(g);
      for (size_t i = 0; i < c.steps.size(); ++i) {
        qor_alloc_fail_at(c.steps[i].fail_alloc);
        int state = k->feed(c.steps[i].in, piece);
        EXPECT_EQ(qor_alloc_failed(), c.steps[i].fail_alloc != 0);
        qor_alloc_fail_at(0);
        EXPECT_EQ(state, i + 1 == c.steps.size() ? c.end : IDLE) << "step " << i;
        rpc_bytes out = std::exchange(k->sent, {});
        if (c.steps[i].out) {
          EXPECT_EQ(out, *c.steps[i].out) << "step " << i;
        }
      }
      size_t used;
      if (c.end == CLOSE) {
        EXPECT_EQ(CLOSE, rpc_sconn_receive(k->c.get(), bind.data(), bind.size(), &used));
      }
      k.reset();  // a group ends with its last connection
      EXPECT_EQ(rpc_assoc_groups_count(g), 0u);
      rpc_assoc_groups_destroy(g);
    }
  }
}

// Feeds a client connection one byte at a time until an event; answers the status.
int client_feed(rpc_client_conn* c, const rpc_bytes& in, int* event) {
  int st = RPC_S_OK;
  *event = RPC_CCONN_MORE;
  size_t used;
  for (size_t off = 0; off < in.size() && st == RPC_S_OK && *event == RPC_CCONN_MORE; off += used) {
    st = rpc_cconn_receive(c, &in[off], 1, &used, event);
  }
  return st;
}

// Our client's bind is impacket's, and it reassembles a reply impacket built.
TEST(AssocClient, BindsCallsAndReassemblesImpacketBuiltReplies) {
  rpc_client_conn cl;
  rpc_cconn_init(&cl, test_if.syntax, 0);
  rpc_bytes bind, req;
  rpc_cconn_make_bind(&cl, 1, &bind);
  EXPECT_EQ(bind, with_frag(vec("bind_impacket"), 5840, 5840));  // impacket proposes 4280
  int event;
  ASSERT_EQ(RPC_S_OK, client_feed(&cl, vec("bind_ack_49664"), &event));
  EXPECT_EQ(event, RPC_CCONN_BOUND);
  ASSERT_EQ(RPC_S_OK, rpc_cconn_make_request(&cl, 7, 2, nullptr, nullptr, 0, &req));
  // impacket's reply of 10000 bytes (i * 7) in three fragments.
  rpc_bytes reply_10000 =
      vec("response_10000_0") + vec("response_10000_1") + vec("response_10000_2");
  ASSERT_EQ(RPC_S_OK, client_feed(&cl, reply_10000, &event));
  ASSERT_EQ(event, RPC_CCONN_REPLY);
  size_t len;
  const uint8_t* reply = rpc_cconn_reply(&cl, &len);
  ASSERT_EQ(len, 10000u);
  for (size_t i = 0; i < len; ++i) ASSERT_EQ(reply[i], static_cast<uint8_t>(i * 7));
  rpc_cconn_release(&cl);
  // A bind refused for the server's load is "too busy".
  rpc_cconn_init(&cl, test_if.syntax, 0);
  rpc_cconn_make_bind(&cl, 1, &bind);
  rpc_bytes nak;
  pdu_encode_bind_nak(1, PDU_NAK_LOCAL_LIMIT_EXCEEDED, &nak);
  EXPECT_EQ(client_feed(&cl, nak, &event), RPC_S_SERVER_TOO_BUSY);
  rpc_cconn_release(&cl);
}

}  // namespace
