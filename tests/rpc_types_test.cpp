#include "platform/rpc/rpc_types.h"

#include <cstring>

#include <gtest/gtest.h>

TEST(RpcUuid, TextAndWireFormsRoundTrip) {
  rpc_uuid u;
  ASSERT_TRUE(rpc_uuid_parse("8A885D04-1CEB-11C9-9FE8-08002B104860", &u));
  EXPECT_EQ(u, RPC_NDR20_SYNTAX.uuid);
  char text[37];
  rpc_uuid_format(u, text);
  EXPECT_STREQ(text, "8a885d04-1ceb-11c9-9fe8-08002b104860");
  uint8_t wire[16];
  rpc_uuid_to_wire(u, wire);
  const uint8_t expected[16] = {0x04, 0x5d, 0x88, 0x8a, 0xeb, 0x1c, 0xc9, 0x11,
                                0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60};
  EXPECT_EQ(0, std::memcmp(wire, expected, 16));
  EXPECT_EQ(rpc_uuid_from_wire(wire), u);
}

TEST(RpcUuid, MalformedTextIsRefused) {
  rpc_uuid u;
  for (const char* bad :
       {"", "8a885d04-1ceb-11c9-9fe8-08002b10486", "8a885d04-1ceb-11c9-9fe8-08002b1048600",
        "8a885d04+1ceb-11c9-9fe8-08002b104860", "8a885d04-1ceb-11g9-9fe8-08002b104860",
        "8a885d04-1ceb-11c9-9fe8-08002b10486g"}) {
    EXPECT_FALSE(rpc_uuid_parse(bad, &u)) << bad;
  }
}
