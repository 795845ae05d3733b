// Feeds arbitrary bytes, in splits chosen by the first input byte, to a server
// connection with a small interface registered, and the same bytes to a
// client connection waiting for a bind answer and then for a reply.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/rpc/assoc.h"

namespace {

rpc_stub_result echo(const void*, const uint8_t* in, size_t len, std::vector<uint8_t>* out) {
  out->assign(in, in + len);
  return {0, true};
}
rpc_stub_result refuse(const void*, const uint8_t*, size_t, std::vector<uint8_t>*) {
  return {NCA_S_FAULT_NDR, false};
}
// Replies as many bytes as the stub is long, times 3: several fragments.
rpc_stub_result grow(const void*, const uint8_t*, size_t len, std::vector<uint8_t>* out) {
  out->assign(len * 3, 0x5a);
  return {0, true};
}

const rpc_server_stub_t stubs[] = {echo, refuse, grow};
const rpc_server_interface iface = {
    {{0xb1da8d70, 0x4984, 0x11d0, {0xb9, 0x8c, 0x00, 0xa0, 0x24, 0x8d, 0xf9, 0x1a}}, 1, 1},
    3,
    stubs,
    nullptr};
const rpc_if_entry entries[] = {{&iface, nullptr}};
rpc_if_list registered = {entries, 1};

// Piece sizes from a small generator: 1 to 64 bytes, or all at once.
struct Splitter {
  uint32_t state;
  size_t next(size_t left) {
    state = state * 1103515245u + 12345u;
    size_t n = (state >> 16) % 65;
    return n == 0 || n > left ? left : n;
  }
};

void run_server(const uint8_t* data, size_t size, uint8_t seed, rpc_assoc_groups* groups) {
  rpc_server_conn* c = new rpc_server_conn;
  rpc_sconn_init(c, {rpc_if_list_lookup, &registered, groups, "49664"});
  Splitter split{seed};
  std::vector<uint8_t> out;
  size_t off = 0;
  while (off < size) {
    size_t n = split.next(size - off);
    size_t pos = 0;
    int state = RPC_SCONN_IDLE;
    while (pos < n) {
      size_t used;
      state = rpc_sconn_receive(c, data + off + pos, n - pos, &used);
      pos += used;
      if (state == RPC_SCONN_CALL) {
        rpc_sconn_execute(c);
      } else {
        break;
      }
    }
    rpc_sconn_take_output(c, &out);
    if (state == RPC_SCONN_CLOSE) break;
    off += n;
  }
  rpc_sconn_release(c);
  delete c;
}

void run_client(const uint8_t* data, size_t size, uint8_t seed) {
  rpc_client_conn* c = new rpc_client_conn;
  rpc_cconn_init(c, iface.syntax, 0);
  std::vector<uint8_t> out;
  rpc_cconn_make_bind(c, 1, &out);
  Splitter split{seed};
  size_t off = 0;
  uint32_t call_id = 2;
  while (off < size && !c->broken) {
    size_t n = split.next(size - off);
    size_t used;
    int event;
    rpc_cconn_receive(c, data + off, n, &used, &event);
    off += used;
    if (!c->waiting && c->bound) {
      out.clear();
      const uint8_t stub[3] = {1, 2, 3};
      rpc_cconn_make_request(c, call_id++, 0, nullptr, stub, sizeof stub, &out);
    } else if (!c->waiting) {
      break;  // the bind was refused
    }
  }
  rpc_cconn_release(c);
  delete c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static rpc_assoc_groups* groups = rpc_assoc_groups_create();
  run_server(data + 1, size - 1, data[0], groups);
  run_client(data + 1, size - 1, data[0]);
  return 0;
}
