// Reads arbitrary bytes as an ept_map request (through the server's answer),
// an ept_lookup request, an ept_map reply and a tower.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/rpc/epm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const epm_entry table[] = {
      {{},
       {{0xb1da8d70, 0x4984, 0x11d0, {0xb9, 0x8c, 0x00, 0xa0, 0x24, 0x8d, 0xf9, 0x1a}}, 1, 1},
       49664,
       "Varnelith Name Service"},
      {{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}},
       {{0xb1da8d70, 0x4984, 0x11d0, {0xb9, 0x8c, 0x00, 0xa0, 0x24, 0x8d, 0xf9, 0x1a}}, 1, 3},
       49665,
       ""},
  };
  static const uint8_t addr[4] = {127, 0, 0, 1};
  std::vector<uint8_t> reply;
  epm_map(table, 2, data, size, addr, &reply);
  reply.clear();
  epm_lookup(table, 2, data, size, addr, &reply);
  epm_map_reply* r = new epm_map_reply;
  epm_decode_map_reply(data, size, r);
  delete r;
  epm_tower t;
  epm_tower_decode(data, size, &t);
  return 0;
}
