// Reassembly of a 64 KiB request arriving in fragments of the size impacket
// negotiates (4280 bytes), through the server connection machine: framing,
// checks, reassembly, dispatch and the reply.
#include <benchmark/benchmark.h>

#include <vector>

#include "platform/rpc/assoc.h"

namespace {

rpc_stub_result empty_reply(const void*, const uint8_t*, size_t, std::vector<uint8_t>*) {
  return {0, true};
}
const rpc_server_stub_t stubs[] = {empty_reply};
const rpc_server_interface iface = {
    {{0xb1da8d70, 0x4984, 0x11d0, {0xb9, 0x8c, 0x00, 0xa0, 0x24, 0x8d, 0xf9, 0x1a}}, 1, 1},
    1,
    stubs,
    nullptr};
const rpc_if_entry entries[] = {{&iface, nullptr}};
rpc_if_list registered = {entries, 1};

constexpr uint16_t FRAG = 4280;

// A bind asking for FRAG-byte fragments, and one call's fragments.
void build(std::vector<uint8_t>* bind, std::vector<uint8_t>* call, size_t stub_len) {
  pdu_bind b{FRAG, FRAG, 0, {{0, iface.syntax, {RPC_NDR20_SYNTAX}}}};
  pdu_encode_bind(PDU_BIND, PFC_FIRST_FRAG | PFC_LAST_FRAG, 1, b, bind);
  std::vector<uint8_t> stub(stub_len, 0x42);
  size_t chunk = FRAG - PDU_REQUEST_HEADER_LEN;
  for (size_t off = 0; off < stub_len; off += chunk) {
    size_t n = stub_len - off < chunk ? stub_len - off : chunk;
    uint8_t flags = static_cast<uint8_t>((off == 0 ? PFC_FIRST_FRAG : 0) |
                                         (off + n == stub_len ? PFC_LAST_FRAG : 0));
    pdu_encode_request(flags, 2, static_cast<uint32_t>(stub_len - off), 0, 0, nullptr,
                       stub.data() + off, n, call);
  }
}

void BM_ReassembleRequest64K(benchmark::State& state) {
  const size_t stub_len = 64 * 1024;
  std::vector<uint8_t> bind, call, out;
  build(&bind, &call, stub_len);
  rpc_assoc_groups* groups = rpc_assoc_groups_create();
  rpc_server_conn* c = new rpc_server_conn;
  rpc_sconn_init(c, {rpc_if_list_lookup, &registered, groups, "49664"});
  size_t used;
  rpc_sconn_receive(c, bind.data(), bind.size(), &used);
  rpc_sconn_take_output(c, &out);
  for (auto _ : state) {
    if (rpc_sconn_receive(c, call.data(), call.size(), &used) != RPC_SCONN_CALL) {
      state.SkipWithError("the call did not complete");
      break;
    }
    rpc_sconn_execute(c);
    out.clear();
    rpc_sconn_take_output(c, &out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * call.size()));
  state.counters["fragments"] = static_cast<double>((stub_len + FRAG - 25) / (FRAG - 24));
  rpc_sconn_release(c);
  delete c;
  rpc_assoc_groups_destroy(groups);
}
BENCHMARK(BM_ReassembleRequest64K);

// The same through the reassembler alone, without framing or dispatch.
void BM_ReassemblerOnly64K(benchmark::State& state) {
  std::vector<uint8_t> frag(FRAG - PDU_REQUEST_HEADER_LEN, 0x42);
  const size_t total = 64 * 1024;
  rpc_reassembly r;
  rpc_reasm_init(&r, RPC_MAX_STUB);
  for (auto _ : state) {
    bool complete = false;
    for (size_t off = 0; off < total; off += frag.size()) {
      size_t n = total - off < frag.size() ? total - off : frag.size();
      uint8_t flags = static_cast<uint8_t>((off == 0 ? PFC_FIRST_FRAG : 0) |
                                           (off + n == total ? PFC_LAST_FRAG : 0));
      rpc_reasm_add(&r, flags, 2, 0, 0, frag.data(), n, &complete);
    }
    benchmark::DoNotOptimize(r.data);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total));
  rpc_reasm_release(&r);
}
BENCHMARK(BM_ReassemblerOnly64K);

}  // namespace
