// The endpoint mapper's wire forms (interface e1af8308-5d1f-11c9-91a4-08002b14a0fa
// v3.0 on TCP port 135): protocol towers for ncacn_ip_tcp, the stubs of
// ept_map and ept_lookup in both directions, and the server's answers to them
// from a table of registered endpoints.
//
// Stub data is NDR 2.0 (ndr.h). A tower's octet string is not NDR: a floor
// count, then per floor a left side (protocol id and data) and a right side
// (related data), each with a 16-bit little-endian length, except that the
// TCP port and the IPv4 address are in network order.
//
// Pure functions; nothing here locks. The registered-endpoint table belongs
// to the runtime, which holds its own lock while calling epm_map/epm_lookup.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/rpc/rpc_types.h"

// Operation numbers; 5 and above are answered with nca_s_op_rng_error.
constexpr uint16_t EPT_OP_INSERT = 0;
constexpr uint16_t EPT_OP_DELETE = 1;
constexpr uint16_t EPT_OP_LOOKUP = 2;
constexpr uint16_t EPT_OP_MAP = 3;
constexpr uint16_t EPT_OP_LOOKUP_HANDLE_FREE = 4;

// Statuses as the endpoint mapper sends them (the last u32 of a reply).
constexpr uint32_t EPT_S_WIRE_CANT_PERFORM_OP = 0x16C9A0CD;
constexpr uint32_t EPT_S_WIRE_INVALID_ENTRY = 0x16C9A0D3;
constexpr uint32_t EPT_S_WIRE_NOT_REGISTERED = 0x16C9A0D6;

// Floor protocol identifiers.
constexpr uint8_t EPM_FLOOR_UUID = 0x0D;    // interface or transfer syntax
constexpr uint8_t EPM_FLOOR_RPC_CO = 0x0B;  // connection-oriented RPC
constexpr uint8_t EPM_FLOOR_TCP = 0x07;
constexpr uint8_t EPM_FLOOR_UDP = 0x08;
constexpr uint8_t EPM_FLOOR_IP = 0x09;

// The most floors a tower may have and still be read (ncacn_ip_tcp has 5).
constexpr size_t EPM_MAX_FLOORS = 8;
// Entries one ept_lookup reply carries at most, whatever max_ents asks.
constexpr uint32_t EPM_MAX_LOOKUP = 500;
// Towers one ept_map reply carries at most, whatever max_towers asks.
constexpr uint32_t EPM_MAX_MAP = 16;

// A protocol tower, as far as the runtime reads one. Floors 1 and 2 are the
// interface and transfer syntax; `protocol` is floor 3's id, `transport`
// floor 4's; `port` (host order) and `addr` (network order) come from the
// TCP and IP floors when present.
struct epm_tower {
  rpc_syntax_id iface;
  rpc_syntax_id transfer;
  uint8_t protocol;
  uint8_t transport;
  uint16_t port;
  uint8_t addr[4];
};

// Appends the 5-floor ncacn_ip_tcp tower octets for `t` (protocol and
// transport are written as CO RPC and TCP whatever they hold).
void epm_tower_encode(const epm_tower& t, std::vector<uint8_t>* octets);
// Reads tower octets. RPC_S_OK; RPC_X_BAD_STUB_DATA when a length runs past
// the octets, the first two floors are not UUID floors, or there are fewer
// than 3 or more than EPM_MAX_FLOORS floors. A tower for another transport
// reads fine (port and addr stay 0): matching decides.
int epm_tower_decode(const uint8_t* octets, size_t len, epm_tower* out);

// A 20-byte context handle (entry_handle): {u32 attributes, UUID}; nil = all zeros.
struct epm_handle {
  uint8_t bytes[20];
};

// ---- ept_map ----

// `tower` points into the stub it was decoded from.
struct epm_map_request {
  bool has_object;  // a null object pointer reads as the nil UUID
  rpc_uuid object;
  const uint8_t* tower;  // null when the map_tower pointer was null
  uint32_t tower_len;
  epm_handle entry_handle;
  uint32_t max_towers;
};

// Client: the ept_map request stub. The object and tower pointers carry
// referent ids 1 and 2, the values older Windows mappers insist on.
void epm_encode_map_request(const rpc_uuid* object, const epm_tower& tower, uint32_t max_towers,
                            std::vector<uint8_t>* out);
// Server: reads an ept_map request stub. 0, or the NCA fault status
// (NCA_S_FAULT_NDR for data ending early or a count beyond it).
uint32_t epm_decode_map_request(const uint8_t* stub, size_t len, epm_map_request* out);

// Client view of an ept_map reply: the first towers (up to EPM_MAX_MAP) and the status.
struct epm_map_reply {
  epm_handle entry_handle;
  uint32_t num_towers;  // as sent
  uint32_t n;           // towers read into `towers`
  epm_tower towers[EPM_MAX_MAP];
  uint32_t status;  // wire status: 0 or an ept_s_ value
};

// Server: the ept_map reply stub; `max_towers` is echoed as the array's maximum count.
void epm_encode_map_reply(const epm_handle& handle, const epm_tower* towers, uint32_t n,
                          uint32_t max_towers, uint32_t status, std::vector<uint8_t>* out);
// Client: reads an ept_map reply stub. 0, or NCA_S_FAULT_NDR /
// NCA_S_FAULT_INVALID_BOUND for a malformed reply. Towers that do not decode
// are skipped. Allocates nothing.
uint32_t epm_decode_map_reply(const uint8_t* stub, size_t len, epm_map_reply* out);

// The status our client reports for a mapper's status: 0, 1753 EPT_S_NOT_REGISTERED,
// 1752 EPT_S_CANT_PERFORM_OP; others pass unchanged.
int epm_status(uint32_t wire_status);

// ---- ept_lookup ----

struct epm_lookup_request {
  uint32_t inquiry_type;
  bool has_object;
  rpc_uuid object;
  bool has_ifid;
  rpc_syntax_id ifid;
  uint32_t vers_option;
  epm_handle entry_handle;
  uint32_t max_ents;
};

uint32_t epm_decode_lookup_request(const uint8_t* stub, size_t len, epm_lookup_request* out);
void epm_encode_lookup_request(const epm_lookup_request& req, std::vector<uint8_t>* out);

// ---- The server's table and answers ----

// One registered endpoint.
struct epm_entry {
  rpc_uuid object;  // nil for none
  rpc_syntax_id iface;
  uint16_t port;
  char annotation[64];  // NUL-terminated
};

// Answers an ept_map request stub from `entries` (a caller-held table):
// towers of the entries matching the requested interface (same UUID and
// major, registered minor not below the requested one), NDR 2.0 and
// ncacn_ip_tcp, whose object is the requested one or nil; up to max_towers
// (at most EPM_MAX_MAP), each with `local_addr` (network order, the address
// the request arrived on) in its IP floor. No match: no towers and
// ept_s_not_registered. Appends the reply stub to `reply`; returns 0, or the
// NCA fault status for a request that does not unmarshal (reply untouched).
uint32_t epm_map(const epm_entry* entries, size_t n, const uint8_t* stub, size_t len,
                 const uint8_t local_addr[4], std::vector<uint8_t>* reply);

// Answers an ept_lookup request: every entry (inquiry 0), or those of the
// given interface or object, from where the request's entry handle says, up
// to max_ents (at most EPM_MAX_LOOKUP), and status 0, or ept_s_not_registered
// when none. A full batch comes with a handle to go on from, a shorter one
// with the nil handle. Same return as epm_map.
uint32_t epm_lookup(const epm_entry* entries, size_t n, const uint8_t* stub, size_t len,
                    const uint8_t local_addr[4], std::vector<uint8_t>* reply);
