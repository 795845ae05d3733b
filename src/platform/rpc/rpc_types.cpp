#include "platform/rpc/rpc_types.h"

#include <cstdio>
#include <cstring>

bool operator==(const rpc_uuid& a, const rpc_uuid& b) {
  return a.time_low == b.time_low && a.time_mid == b.time_mid &&
         a.time_hi_and_version == b.time_hi_and_version &&
         std::memcmp(a.clock_seq_and_node, b.clock_seq_and_node, 8) == 0;
}

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads `digits` hex digits from text; false on a non-hex character.
bool read_hex(const char* text, int digits, uint32_t* out) {
  uint32_t v = 0;
  for (int i = 0; i < digits; ++i) {
    int h = hex_value(text[i]);
    if (h < 0) return false;
    v = v << 4 | static_cast<uint32_t>(h);
  }
  *out = v;
  return true;
}

}  // namespace

bool rpc_uuid_parse(const char* text, rpc_uuid* out) {
  if (text == nullptr || std::strlen(text) != 36) return false;
  if (text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') return false;
  rpc_uuid u{};
  uint32_t v;
  if (!read_hex(text, 8, &v)) return false;
  u.time_low = v;
  if (!read_hex(text + 9, 4, &v)) return false;
  u.time_mid = static_cast<uint16_t>(v);
  if (!read_hex(text + 14, 4, &v)) return false;
  u.time_hi_and_version = static_cast<uint16_t>(v);
  static constexpr int offsets[8] = {19, 21, 24, 26, 28, 30, 32, 34};
  for (int i = 0; i < 8; ++i) {
    if (!read_hex(text + offsets[i], 2, &v)) return false;
    u.clock_seq_and_node[i] = static_cast<uint8_t>(v);
  }
  *out = u;
  return true;
}

void rpc_uuid_format(const rpc_uuid& u, char* buf) {
  const uint8_t* n = u.clock_seq_and_node;
  std::snprintf(buf, 37, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", u.time_low, u.time_mid,
                u.time_hi_and_version, n[0], n[1], n[2], n[3], n[4], n[5], n[6], n[7]);
}

void rpc_uuid_to_wire(const rpc_uuid& u, uint8_t out[16]) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(u.time_low >> (8 * i));
  out[4] = static_cast<uint8_t>(u.time_mid);
  out[5] = static_cast<uint8_t>(u.time_mid >> 8);
  out[6] = static_cast<uint8_t>(u.time_hi_and_version);
  out[7] = static_cast<uint8_t>(u.time_hi_and_version >> 8);
  std::memcpy(out + 8, u.clock_seq_and_node, 8);
}

rpc_uuid rpc_uuid_from_wire(const uint8_t in[16]) {
  rpc_uuid u{};
  u.time_low = rpc_get_le32(in);
  u.time_mid = rpc_get_le16(in + 4);
  u.time_hi_and_version = rpc_get_le16(in + 6);
  std::memcpy(u.clock_seq_and_node, in + 8, 8);
  return u;
}

const rpc_syntax_id RPC_NDR20_SYNTAX = {
    {0x8a885d04, 0x1ceb, 0x11c9, {0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60}}, 2, 0};
const rpc_syntax_id RPC_NDR64_SYNTAX = {
    {0x71710533, 0xbeba, 0x4937, {0x83, 0x19, 0xb5, 0xdb, 0xef, 0x9c, 0xcc, 0x36}}, 1, 0};
const rpc_syntax_id RPC_EPM_SYNTAX = {
    {0xe1af8308, 0x5d1f, 0x11c9, {0x91, 0xa4, 0x08, 0x00, 0x2b, 0x14, 0xa0, 0xfa}}, 3, 0};
