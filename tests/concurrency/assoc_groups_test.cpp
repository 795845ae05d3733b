// Connections on several threads binding into, joining and leaving the shared
// association-group table at once.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "platform/rpc/assoc.h"

namespace {

const rpc_server_interface iface = {
    {{0xb1da8d70, 0x4984, 0x11d0, {0xb9, 0x8c, 0x00, 0xa0, 0x24, 0x8d, 0xf9, 0x1a}}, 1, 1},
    0,
    nullptr,
    nullptr};
const rpc_if_entry entries[] = {{&iface, nullptr}};
rpc_if_list registered = {entries, 1};

// Binds one connection; returns the group it got, 0 if refused.
uint32_t bind(rpc_server_conn* c, rpc_assoc_groups* groups, uint32_t group) {
  rpc_sconn_init(c, {rpc_if_list_lookup, &registered, groups, "49664"});
  std::vector<uint8_t> in, out;
  pdu_encode_bind(PDU_BIND, PFC_FIRST_FRAG | PFC_LAST_FRAG, 1,
                  {4280, 4280, group, {{0, iface.syntax, {RPC_NDR20_SYNTAX}}}}, &in);
  size_t used;
  rpc_sconn_receive(c, in.data(), in.size(), &used);
  rpc_sconn_take_output(c, &out);
  return c->group;
}

TEST(ConcurrencyAssocGroups, ConnectionsJoinAndLeaveFromManyThreads) {
  rpc_assoc_groups* groups = rpc_assoc_groups_create();
  // A group that outlives the threads, which they all join.
  auto anchor = std::make_unique<rpc_server_conn>();
  uint32_t shared = bind(anchor.get(), groups, 0);
  ASSERT_NE(shared, 0u);
  std::atomic<int> refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        auto own = std::make_unique<rpc_server_conn>();
        auto member = std::make_unique<rpc_server_conn>();
        uint32_t g = bind(own.get(), groups, 0);
        if (g == 0 || g == shared) refused++;
        if (bind(member.get(), groups, shared) != shared) refused++;
        rpc_sconn_release(member.get());
        rpc_sconn_release(own.get());
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(refused.load(), 0);
  EXPECT_EQ(rpc_assoc_groups_count(groups), 1u);
  rpc_sconn_release(anchor.get());
  EXPECT_EQ(rpc_assoc_groups_count(groups), 0u);
  rpc_assoc_groups_destroy(groups);
}

}  // namespace
