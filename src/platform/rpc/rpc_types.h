// Types shared by the DCE/RPC runtime's layers: UUIDs and syntax identifiers,
// the NCA fault statuses a server sends, and the shape of a server interface
// (its identity and one server stub per operation).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct rpc_uuid {
  uint32_t time_low;
  uint16_t time_mid;
  uint16_t time_hi_and_version;
  uint8_t clock_seq_and_node[8];  // as written: clock_seq_hi, clock_seq_low, node[6]
};

bool operator==(const rpc_uuid& a, const rpc_uuid& b);

// Parses "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" (either letter case); false if malformed.
bool rpc_uuid_parse(const char* text, rpc_uuid* out);
// Formats in lower case into buf (at least 37 bytes).
void rpc_uuid_format(const rpc_uuid& uuid, char* buf);
// The 16-byte NDR (little-endian) wire form.
void rpc_uuid_to_wire(const rpc_uuid& uuid, uint8_t out[16]);
rpc_uuid rpc_uuid_from_wire(const uint8_t in[16]);

// Little-endian integers as the wire forms carry them (PDU headers, towers, UUIDs).
inline uint16_t rpc_get_le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t rpc_get_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline void rpc_put_le16(std::vector<uint8_t>* out, uint16_t v) {
  out->push_back(static_cast<uint8_t>(v));
  out->push_back(static_cast<uint8_t>(v >> 8));
}
inline void rpc_put_le32(std::vector<uint8_t>* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// An abstract or transfer syntax: interface UUID and version.
struct rpc_syntax_id {
  rpc_uuid uuid;
  uint16_t major;
  uint16_t minor;
};

// NCA fault statuses sent in fault PDUs.
constexpr uint32_t NCA_S_FAULT_OTHER = 0x00000001;
constexpr uint32_t NCA_S_FAULT_ACCESS_DENIED = 0x00000005;
constexpr uint32_t NCA_S_FAULT_NDR = 0x000006F7;
// rpc_x_enum_value_out_of_range (1781): a 16-bit enumeration outside 0..32767,
// as Microsoft stubs report it on either side.
constexpr uint32_t NCA_S_FAULT_ENUM_VALUE_OUT_OF_RANGE = 0x000006F5;
constexpr uint32_t NCA_S_FAULT_CANT_PERFORM = 0x000006D8;
constexpr uint32_t NCA_S_FAULT_INT_DIV_BY_ZERO = 0x1C000001;
constexpr uint32_t NCA_S_FAULT_ADDR_ERROR = 0x1C000002;
constexpr uint32_t NCA_S_FAULT_FP_DIV_ZERO = 0x1C000003;
constexpr uint32_t NCA_S_FAULT_FP_UNDERFLOW = 0x1C000004;
constexpr uint32_t NCA_S_FAULT_FP_OVERFLOW = 0x1C000005;
constexpr uint32_t NCA_S_FAULT_INVALID_TAG = 0x1C000006;
constexpr uint32_t NCA_S_FAULT_INVALID_BOUND = 0x1C000007;
constexpr uint32_t NCA_S_RPC_VERSION_MISMATCH = 0x1C000008;
constexpr uint32_t NCA_S_UNSPEC_REJECT = 0x1C000009;
constexpr uint32_t NCA_S_MANAGER_NOT_ENTERED = 0x1C00000C;
constexpr uint32_t NCA_S_FAULT_CANCEL = 0x1C00000D;
constexpr uint32_t NCA_S_FAULT_UNSPEC = 0x1C000012;
constexpr uint32_t NCA_S_FAULT_CONTEXT_MISMATCH = 0x1C00001A;
constexpr uint32_t NCA_S_FAULT_REMOTE_NO_MEMORY = 0x1C00001B;
constexpr uint32_t NCA_S_COMM_FAILURE = 0x1C010001;
constexpr uint32_t NCA_S_OP_RNG_ERROR = 0x1C010002;
constexpr uint32_t NCA_S_UNK_IF = 0x1C010003;
constexpr uint32_t NCA_S_YOU_CRASHED = 0x1C010009;
constexpr uint32_t NCA_S_PROTO_ERROR = 0x1C01000B;
constexpr uint32_t NCA_S_OUT_ARGS_TOO_BIG = 0x1C010013;
constexpr uint32_t NCA_S_SERVER_TOO_BUSY = 0x1C010014;
constexpr uint32_t NCA_S_UNSUPPORTED_TYPE = 0x1C010017;

// The result of one server stub.
struct rpc_stub_result {
  uint32_t fault;  // 0: `out` holds the reply stub data; otherwise an NCA fault status
  bool executed;   // false: the manager certainly did not run (fault sent with did-not-execute)
};

// Server stub of one operation: unmarshals the request stub data `in` (NDR, little-endian),
// calls the manager through `epv` (the interface's manager entry-point vector), marshals the
// reply into `out` and releases what the manager returned.
using rpc_server_stub_t = rpc_stub_result (*)(const void* epv, const uint8_t* in, size_t in_len,
                                              std::vector<uint8_t>* out);

// A server interface as the runtime registers it.
struct rpc_server_interface {
  rpc_syntax_id syntax;
  uint32_t opcount;
  const rpc_server_stub_t* stubs;  // opcount entries, indexed by operation number
  const void* default_epv;         // the interface's own managers
};

// The transfer syntaxes the runtime knows by name.
extern const rpc_syntax_id RPC_NDR20_SYNTAX;  // 8a885d04-1ceb-11c9-9fe8-08002b104860 v2.0
extern const rpc_syntax_id RPC_NDR64_SYNTAX;  // 71710533-beba-4937-8319-b5dbef9ccc36 v1.0
extern const rpc_syntax_id RPC_EPM_SYNTAX;    // e1af8308-5d1f-11c9-91a4-08002b14a0fa v3.0
