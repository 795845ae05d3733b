#include "platform/rpc/epm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "platform/rpc/pdu.h"
#include "platform/rpc/rpc_status.h"
#include "rpc_vectors.h"

namespace {

const rpc_bytes& vec(const std::string& name) { return rpc_vec("epm_vectors.txt", name); }

const rpc_syntax_id QOR_IF = {
    {0xb1da8d70, 0x4984, 0x11d0, {0xb9, 0x8c, 0x00, 0xa0, 0x24, 0x8d, 0xf9, 0x1a}}, 1, 1};
const rpc_syntax_id SPOOL_IF = {
    {0x12345778, 0x1234, 0xabcd, {0xef, 0x00, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab}}, 1, 0};
const rpc_uuid OBJECT = {
    0x6b29fc40, 0xca47, 0x1067, {0xb3, 0x1d, 0x00, 0xdd, 0x01, 0x06, 0x62, 0xda}};
const uint8_t LOOPBACK[4] = {127, 0, 0, 1};

// ncacn_ip_tcp over NDR 2.0 to `iface` at port; with port 0 the tower a client asks with.
epm_tower tcp_tower(const rpc_syntax_id& iface, uint16_t port) {
  epm_tower t = {iface, RPC_NDR20_SYNTAX, EPM_FLOOR_RPC_CO, EPM_FLOOR_TCP, port, {}};
  if (port != 0) memcpy(t.addr, LOOPBACK, 4);
  return t;
}

// Our encoders and the endpoint mapper's answers make impacket's bytes; what we read whole is
// written back to the same bytes, and our client reads the mapper's replies.
TEST(EpmVectors, OursMatchImpacketBothWays) {
  const epm_entry table[] = {{{}, SPOOL_IF, 49700, "spooler"},
                             {{}, QOR_IF, 49664, "Varnelith Name Service"},
                             {OBJECT, SPOOL_IF, 49665, ""}};
  const rpc_bytes &map = vec("ept_map_request"), &lookup = vec("ept_lookup_request"),
                  &tower = vec("tower_tcp_49664");
  epm_tower t;
  ASSERT_EQ(RPC_S_OK, epm_tower_decode(tower.data(), tower.size(), &t));
  epm_lookup_request lookup_req;
  ASSERT_EQ(0u, epm_decode_lookup_request(lookup.data(), lookup.size(), &lookup_req));
  const rpc_uuid nil{};
  const struct {
    const char* name;
    std::function<void(rpc_bytes*)> make;
  } cases[] = {
      {"tower_tcp_49664", [&](rpc_bytes* out) { epm_tower_encode(tcp_tower(QOR_IF, 49664), out); }},
      {"tower_tcp_49664", [&](rpc_bytes* out) { epm_tower_encode(t, out); }},
      {"ept_map_request",
       [&](rpc_bytes* out) { epm_encode_map_request(&nil, tcp_tower(QOR_IF, 0), 1, out); }},
      {"ept_map_reply",
       [&](rpc_bytes* out) { epm_map(table, 2, map.data(), map.size(), LOOPBACK, out); }},
      {"ept_map_reply_nomatch",
       [&](rpc_bytes* out) { epm_map(table, 1, map.data(), map.size(), LOOPBACK, out); }},
      {"ept_lookup_request", [&](rpc_bytes* out) { epm_encode_lookup_request(lookup_req, out); }},
      {"ept_lookup_reply",
       [&](rpc_bytes* out) {
         epm_lookup(table + 1, 2, lookup.data(), lookup.size(), LOOPBACK, out);
       }},
  };
  for (const auto& c : cases) {
    rpc_bytes out;
    c.make(&out);
    EXPECT_EQ(out, vec(c.name)) << c.name;
  }
  epm_map_reply r;
  const rpc_bytes& nomatch = vec("ept_map_reply_nomatch");
  ASSERT_EQ(0u, epm_decode_map_reply(nomatch.data(), nomatch.size(), &r));
  EXPECT_EQ(r.n, 0u);
  EXPECT_EQ(epm_status(r.status), EPT_S_NOT_REGISTERED);
}

// The compatibility rule: same UUID and major, registered minor not below the
// requested one, NDR 2.0; an entry bound to an object answers only for that object.
TEST(EpmMap, MatchingRules) {
  const epm_tower asked = tcp_tower(QOR_IF, 0);
  epm_tower ndr64 = asked;
  ndr64.transfer = RPC_NDR64_SYNTAX;
  const struct {
    epm_entry registered;
    epm_tower asked;
    const rpc_uuid* object;
    bool match;
  } cases[] = {
      {{{}, {QOR_IF.uuid, 1, 3}, 1, ""}, asked, nullptr, true},   // a newer minor
      {{{}, {QOR_IF.uuid, 1, 0}, 1, ""}, asked, nullptr, false},  // an older minor
      {{OBJECT, QOR_IF, 1, ""}, asked, nullptr, false},
      {{OBJECT, QOR_IF, 1, ""}, asked, &OBJECT, true},
      {{{}, QOR_IF, 1, ""}, ndr64, nullptr, false},
  };
  for (const auto& c : cases) {
    rpc_bytes stub, reply;
    epm_encode_map_request(c.object, c.asked, 4, &stub);
    ASSERT_EQ(0u, epm_map(&c.registered, 1, stub.data(), stub.size(), LOOPBACK, &reply));
    epm_map_reply r;
    ASSERT_EQ(0u, epm_decode_map_reply(reply.data(), reply.size(), &r));
    EXPECT_EQ(r.n, c.match ? 1u : 0u) << "case " << &c - cases;
  }
}

// ept_lookup by interface, object and both, 1.3 and 1.5 registered and 1.4 asked: the entries each
// version option takes (all, compatible, exact, major only, up to, unknown); by object alone, all.
TEST(EpmLookup, InquiriesAndVersionOptions) {
  epm_entry reg[] = {{OBJECT, {QOR_IF.uuid, 1, 3}, 1, ""}, {OBJECT, {QOR_IF.uuid, 1, 5}, 2, ""}};
  epm_lookup_request req{1, true, OBJECT, true, {QOR_IF.uuid, 1, 4}, 0, {}, 4};
  const uint32_t found[] = {2, 1, 0, 2, 1, 0};
  for (req.inquiry_type = 1; req.inquiry_type <= 3; ++req.inquiry_type) {
    for (req.vers_option = 1; req.vers_option <= 6; ++req.vers_option) {
      rpc_bytes stub, reply;
      epm_encode_lookup_request(req, &stub);
      ASSERT_EQ(0u, epm_lookup(reg, 2, stub.data(), stub.size(), LOOPBACK, &reply));
      uint32_t want = req.inquiry_type == 2 ? 2 : found[req.vers_option - 1];
      EXPECT_EQ(rpc_get_le32(&reply[20]), want) << req.inquiry_type << req.vers_option;  // count
    }
  }
}

// Every entry in batches of 1 to 4: a full batch hands back where to go on (Samba's client asks one
// at a time, stops at ept_s_not_registered), a short one the nil handle; a foreign handle ends it.
TEST(EpmLookup, BatchesGoOnFromTheHandle) {
  const epm_entry eps[] = {{{}, QOR_IF, 1, "one"}, {{}, QOR_IF, 2, "two"}, {{}, QOR_IF, 3, "six"}};
  const epm_handle nil{}, foreign{{0, 0, 0, 0, 'q'}};
  for (uint32_t batch = 0; batch <= 4; ++batch) {
    epm_lookup_request req{0, false, {}, false, {}, 1, batch ? nil : foreign, batch ? batch : 4};
    std::string seen;
    uint32_t calls = 0;
    do {
      rpc_bytes stub, reply;
      epm_encode_lookup_request(req, &stub);
      ASSERT_EQ(0u, epm_lookup(eps, 3, stub.data(), stub.size(), LOOPBACK, &reply));
      std::string text(reply.begin(), reply.end());
      for (const epm_entry& e : eps)
        seen += text.find(e.annotation) < text.size() ? e.annotation : "";
      EXPECT_EQ(rpc_get_le32(&reply[reply.size() - 4]),  // status
                rpc_get_le32(&reply[20]) ? 0 : EPT_S_WIRE_NOT_REGISTERED);
      memcpy(req.entry_handle.bytes, reply.data(), sizeof nil.bytes);
    } while (++calls < 9 && memcmp(req.entry_handle.bytes, nil.bytes, sizeof nil.bytes) != 0);
    EXPECT_EQ(seen, batch ? "onetwosix" : "") << batch;
    EXPECT_EQ(calls, batch ? 3 / batch + 1 : 1) << batch;
  }
}

// Towers and stubs cut short anywhere, and counts and lengths that lie, are
// refused without allocating from the count.
TEST(EpmDecode, HostileInputIsRefused) {
  epm_tower t;
  epm_map_request req;
  epm_map_reply r;
  const rpc_bytes &tower = vec("tower_tcp_49664"), &map = vec("ept_map_request");
  for (size_t len = 0; len < tower.size(); ++len)
    EXPECT_EQ(RPC_X_BAD_STUB_DATA, epm_tower_decode(tower.data(), len, &t)) << len;
  for (size_t len = 0; len < map.size(); ++len)
    EXPECT_NE(0u, epm_decode_map_request(map.data(), len, &req)) << len;
  auto with = [](const char* name, std::initializer_list<std::pair<size_t, uint8_t>> edits) {
    rpc_bytes out = vec(name);
    for (auto [off, value] : edits) out[off] = value;
    return out;
  };
  for (const rpc_bytes& bad :
       {with("tower_tcp_49664", {{0, 200}}),               // floor count beyond any tower
        with("tower_tcp_49664", {{2, 0xff}}),              // lhs length beyond the octets
        with("tower_tcp_49664", {{4, EPM_FLOOR_TCP}})}) {  // not a UUID floor
    EXPECT_EQ(RPC_X_BAD_STUB_DATA, epm_tower_decode(bad.data(), bad.size(), &t));
  }
  rpc_bytes count = with("ept_map_request", {{24, 0xff}, {25, 0xff}});  // max_count beyond the stub
  EXPECT_EQ(NCA_S_FAULT_NDR, epm_decode_map_request(count.data(), count.size(), &req));
  rpc_bytes mismatch =
      with("ept_map_request", {{28, 0x4a}});  // tower_length disagrees with max_count
  EXPECT_EQ(NCA_S_FAULT_INVALID_BOUND,
            epm_decode_map_request(mismatch.data(), mismatch.size(), &req));
  rpc_bytes reply;
  EXPECT_EQ(NCA_S_FAULT_NDR, epm_map(nullptr, 0, count.data(), count.size(), LOOPBACK, &reply));
  EXPECT_TRUE(reply.empty());
  // num_towers, max_count, actual: 0x7fffffff towers.
  rpc_bytes huge = with("ept_map_reply",
                        {{20, 0xff}, {24, 0xff}, {32, 0xff}, {23, 0x7f}, {27, 0x7f}, {35, 0x7f}});
  EXPECT_EQ(NCA_S_FAULT_NDR, epm_decode_map_reply(huge.data(), huge.size(), &r));
  rpc_bytes actual = with("ept_map_reply", {{32, 2}});  // actual above max_count
  EXPECT_EQ(NCA_S_FAULT_INVALID_BOUND, epm_decode_map_reply(actual.data(), actual.size(), &r));
}

}  // namespace
