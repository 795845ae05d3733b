#include "platform/rpc/epm.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/rpc/pdu.h"
#include "platform/rpc/rpc_status.h"
#include "rpc_vectors.h"

namespace {

const rpc_bytes& vec(const std::string& name) { return rpc_vec("epm_vectors.txt", name); }

rpc_syntax_id syntax(const char* uuid, uint16_t major, uint16_t minor) {
  rpc_syntax_id s{};
  EXPECT_TRUE(rpc_uuid_parse(uuid, &s.uuid));
  s.major = major;
  s.minor = minor;
  return s;
}

const rpc_syntax_id QOR_IF = syntax("b1da8d70-4984-11d0-b98c-00a0248df91a", 1, 1);
const rpc_syntax_id SPOOL_IF = syntax("12345778-1234-abcd-ef00-0123456789ab", 1, 0);
const uint8_t LOOPBACK[4] = {127, 0, 0, 1};

epm_tower tcp_tower(const rpc_syntax_id& iface, uint16_t port, const uint8_t addr[4]) {
  epm_tower t{};
  t.iface = iface;
  t.transfer = RPC_NDR20_SYNTAX;
  t.protocol = EPM_FLOOR_RPC_CO;
  t.transport = EPM_FLOOR_TCP;
  t.port = port;
  memcpy(t.addr, addr, 4);
  return t;
}

epm_entry entry(const char* object, const rpc_syntax_id& iface, uint16_t port, const char* note) {
  epm_entry e{};
  if (object != nullptr) {
    EXPECT_TRUE(rpc_uuid_parse(object, &e.object));
  }
  e.iface = iface;
  e.port = port;
  strncpy(e.annotation, note, sizeof e.annotation - 1);
  return e;
}

TEST(EpmTower, TcpTowerMatchesImpacketBothWays) {
  rpc_bytes octets, again;
  epm_tower_encode(tcp_tower(QOR_IF, 49664, LOOPBACK), &octets);
  EXPECT_EQ(octets, vec("tower_tcp_49664"));
  epm_tower t;
  ASSERT_EQ(RPC_S_OK, epm_tower_decode(octets.data(), octets.size(), &t));
  epm_tower_encode(t, &again);  // every field read back, or the bytes would differ
  EXPECT_EQ(again, octets);
  octets[octets.size() - 7] = 0x11;  // the last floor is a NetBIOS name, not an IP address
  ASSERT_EQ(RPC_S_OK, epm_tower_decode(octets.data(), octets.size(), &t));
  EXPECT_EQ(t.addr[0] | t.addr[3], 0);
}

TEST(EpmTower, MalformedOctetsAreRefused) {
  const rpc_bytes& good = vec("tower_tcp_49664");
  epm_tower t;
  for (size_t len = 0; len < good.size(); ++len) {
    rpc_bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(len));
    int st = epm_tower_decode(cut.data(), cut.size(), &t);
    // Cutting inside the last floors leaves fewer floors than announced.
    EXPECT_EQ(st, RPC_X_BAD_STUB_DATA) << len;
  }
  rpc_bytes floors = good;
  floors[0] = 200;  // floor count beyond any tower
  EXPECT_EQ(RPC_X_BAD_STUB_DATA, epm_tower_decode(floors.data(), floors.size(), &t));
  rpc_bytes lhs = good;
  lhs[2] = 0xff;  // first floor's lhs length beyond the octets
  EXPECT_EQ(RPC_X_BAD_STUB_DATA, epm_tower_decode(lhs.data(), lhs.size(), &t));
  rpc_bytes kind = good;
  kind[4] = EPM_FLOOR_TCP;  // floor 1 is not a UUID floor
  EXPECT_EQ(RPC_X_BAD_STUB_DATA, epm_tower_decode(kind.data(), kind.size(), &t));
}

// Our client's request and our server's replies are impacket's, and our
// client reads the replies back.
TEST(EpmMap, MatchesImpacketBothWays) {
  const rpc_bytes& stub = vec("ept_map_request");
  rpc_uuid nil{};
  const uint8_t any[4] = {0, 0, 0, 0};
  rpc_bytes mine;
  epm_encode_map_request(&nil, tcp_tower(QOR_IF, 0, any), 1, &mine);
  EXPECT_EQ(mine, stub);
  epm_entry table[] = {entry(nullptr, SPOOL_IF, 49700, "spooler"),
                       entry(nullptr, QOR_IF, 49664, "Varnelith Name Service")};
  const struct {
    size_t entries;
    const char* reply;
    uint32_t towers;
    int status;
  } cases[] = {{2, "ept_map_reply", 1, RPC_S_OK},
               {1, "ept_map_reply_nomatch", 0, EPT_S_NOT_REGISTERED}};
  for (const auto& c : cases) {
    rpc_bytes reply;
    ASSERT_EQ(0u, epm_map(table, c.entries, stub.data(), stub.size(), LOOPBACK, &reply));
    EXPECT_EQ(reply, vec(c.reply));
    epm_map_reply r;
    ASSERT_EQ(0u, epm_decode_map_reply(reply.data(), reply.size(), &r));
    ASSERT_EQ(r.n, c.towers);
    for (uint32_t i = 0; i < r.n; ++i) {
      EXPECT_EQ(r.towers[i].port, 49664);
      EXPECT_EQ(0, memcmp(r.towers[i].addr, LOOPBACK, 4));
    }
    EXPECT_EQ(c.status, epm_status(r.status));
  }
  EXPECT_EQ(EPT_S_CANT_PERFORM_OP, epm_status(EPT_S_WIRE_CANT_PERFORM_OP));
}

// The compatibility rule: same UUID and major, registered minor not below the
// requested one, NDR 2.0 over connection-oriented RPC on TCP; an entry bound
// to an object answers only for that object.
TEST(EpmMap, MatchingRules) {
  const char* obj = "6b29fc40-ca47-1067-b31d-00dd010662da";
  rpc_uuid object;
  ASSERT_TRUE(rpc_uuid_parse(obj, &object));
  const uint8_t any[4] = {0, 0, 0, 0};
  auto qor = [](uint16_t major, uint16_t minor) {
    return syntax("b1da8d70-4984-11d0-b98c-00a0248df91a", major, minor);
  };
  const epm_tower asked = tcp_tower(QOR_IF, 0, any);
  epm_tower ndr64 = asked;
  ndr64.transfer = RPC_NDR64_SYNTAX;
  const struct {
    const char* what;
    epm_entry registered;
    epm_tower asked;
    const rpc_uuid* object;
    bool match;
  } cases[] = {
      {"same version", entry(nullptr, QOR_IF, 1, ""), asked, nullptr, true},
      {"newer minor registered", entry(nullptr, qor(1, 3), 1, ""), asked, nullptr, true},
      {"older minor registered", entry(nullptr, qor(1, 0), 1, ""), asked, nullptr, false},
      {"other major", entry(nullptr, qor(2, 1), 1, ""), asked, nullptr, false},
      {"other interface", entry(nullptr, SPOOL_IF, 1, ""), asked, nullptr, false},
      {"object entry, nil asked", entry(obj, QOR_IF, 1, ""), asked, nullptr, false},
      {"object entry, object asked", entry(obj, QOR_IF, 1, ""), asked, &object, true},
      {"nil entry, object asked", entry(nullptr, QOR_IF, 1, ""), asked, &object, true},
      {"NDR64 asked", entry(nullptr, QOR_IF, 1, ""), ndr64, nullptr, false},
  };
  for (const auto& c : cases) {
    rpc_bytes stub, reply;
    epm_encode_map_request(c.object, c.asked, 4, &stub);
    ASSERT_EQ(0u, epm_map(&c.registered, 1, stub.data(), stub.size(), LOOPBACK, &reply));
    epm_map_reply r;
    ASSERT_EQ(0u, epm_decode_map_reply(reply.data(), reply.size(), &r)) << c.what;
    EXPECT_EQ(r.n, c.match ? 1u : 0u) << c.what;
    EXPECT_EQ(r.status, c.match ? 0u : EPT_S_WIRE_NOT_REGISTERED) << c.what;
  }
}

TEST(EpmMap, HostileRequestsFaultWithoutAllocating) {
  const rpc_bytes& good = vec("ept_map_request");
  epm_map_request req;
  for (size_t len = 0; len < good.size(); ++len) {
    rpc_bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(len));
    EXPECT_NE(0u, epm_decode_map_request(cut.data(), cut.size(), &req)) << len;
  }
  rpc_bytes count = good;
  count[24] = 0xff;  // max_count beyond the stub
  count[25] = 0xff;
  EXPECT_EQ(NCA_S_FAULT_NDR, epm_decode_map_request(count.data(), count.size(), &req));
  rpc_bytes mismatch = good;
  mismatch[28] = 0x4a;  // tower_length disagrees with max_count
  EXPECT_EQ(NCA_S_FAULT_INVALID_BOUND,
            epm_decode_map_request(mismatch.data(), mismatch.size(), &req));
  rpc_bytes reply;
  EXPECT_EQ(NCA_S_FAULT_NDR, epm_map(nullptr, 0, count.data(), count.size(), LOOPBACK, &reply));
  EXPECT_TRUE(reply.empty());

  epm_map_reply r;
  rpc_bytes huge = vec("ept_map_reply");
  huge[20] = huge[24] = huge[32] = 0xff;  // num_towers, max_count, actual: 0xff... towers
  huge[23] = huge[27] = huge[35] = 0x7f;
  EXPECT_EQ(NCA_S_FAULT_NDR, epm_decode_map_reply(huge.data(), huge.size(), &r));
  rpc_bytes actual = vec("ept_map_reply");
  actual[32] = 2;  // actual above max_count
  EXPECT_EQ(NCA_S_FAULT_INVALID_BOUND, epm_decode_map_reply(actual.data(), actual.size(), &r));
}

TEST(EpmLookup, AnswersRpcdumpsLookupAsImpacketExpects) {
  const rpc_bytes& stub = vec("ept_lookup_request");
  epm_lookup_request req;
  ASSERT_EQ(0u, epm_decode_lookup_request(stub.data(), stub.size(), &req));
  rpc_bytes again;  // read whole: the same bytes again, and the reply below is impacket's
  epm_encode_lookup_request(req, &again);
  EXPECT_EQ(again, stub);

  epm_entry table[] = {entry(nullptr, QOR_IF, 49664, "Varnelith Name Service"),
                       entry("6b29fc40-ca47-1067-b31d-00dd010662da", SPOOL_IF, 49665, "")};
  rpc_bytes reply;
  ASSERT_EQ(0u, epm_lookup(table, 2, stub.data(), stub.size(), LOOPBACK, &reply));
  EXPECT_EQ(reply, vec("ept_lookup_reply"));

  // By interface: only the matching entry.
  epm_lookup_request by_if = req;
  by_if.inquiry_type = 1;
  by_if.has_ifid = true;
  by_if.ifid = SPOOL_IF;
  by_if.vers_option = 2;
  rpc_bytes q, r;
  epm_encode_lookup_request(by_if, &q);
  ASSERT_EQ(0u, epm_lookup(table, 2, q.data(), q.size(), LOOPBACK, &r));
  EXPECT_EQ(r[20], 1);  // num_ents
  // Nothing registered: ept_s_not_registered.
  r.clear();
  ASSERT_EQ(0u, epm_lookup(table, 0, stub.data(), stub.size(), LOOPBACK, &r));
  EXPECT_EQ(r.size(), 40u);
  uint32_t status;
  memcpy(&status, r.data() + 36, 4);
  EXPECT_EQ(status, EPT_S_WIRE_NOT_REGISTERED);

  for (size_t len = 0; len < stub.size(); ++len) {
    EXPECT_NE(0u, epm_decode_lookup_request(stub.data(), len, &req)) << len;
  }
}

}  // namespace
