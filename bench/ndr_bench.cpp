// Encoding and decoding of a qor_getobj reply with three bindings: the reply
// of every lookup of a printer or server.
#include <benchmark/benchmark.h>

#include <vector>

#include "federation/qor_c.h"
#include "federation/qor_ndr.h"
#include "platform/rpc/ndr.h"

namespace {

char* s(const char* text) { return const_cast<char*>(text); }

char* BINDINGS[] = {s("ncacn_ip_tcp:10.1.2.3[49664]"), s("ncacn_ip_tcp:10.1.2.4[49664]"),
                    s("ncacn_ip_tcp:192.168.17.20[49664]")};
const qorobjid SERVER = {3, s("spool1"), s("SALES")};
const rpcbinding BINDING = {3, BINDINGS};

// The server stub's marshalling of the out parameters and the result.
void encode_reply(std::vector<uint8_t>* out) {
  ndr_writer w;
  ndr_writer_init(&w, out);
  ndr_put_record(&w, &SERVER, &QOR_NDR_QOROBJID);
  ndr_put_record(&w, &BINDING, &QOR_NDR_RPCBINDING);
  ndr_put_i32(&w, 7);
  ndr_put_enum16(&w, 3);
  ndr_put_i32(&w, 0);
}

void BM_GetobjReplyEncode(benchmark::State& state) {
  std::vector<uint8_t> out;
  out.reserve(512);
  for (auto _ : state) {
    out.clear();
    encode_reply(&out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(out.size()));
}
BENCHMARK(BM_GetobjReplyEncode);

// As the server stub runs it: into a new vector for every call.
void BM_GetobjReplyEncodeFresh(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<uint8_t> out;
    encode_reply(&out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetobjReplyEncodeFresh);

void BM_GetobjReplyDecode(benchmark::State& state) {
  std::vector<uint8_t> stub;
  encode_reply(&stub);
  for (auto _ : state) {
    qorobjid server;
    rpcbinding binding;
    int32_t supportauth;
    int nsclass, result;
    uint32_t status = qor_c_unmarshal_getobj_reply(stub.data(), stub.size(), &server, &binding,
                                                   &supportauth, &nsclass, &result);
    if (status != 0) state.SkipWithError("decode failed");
    qor_ndr_free_qorobjid(&server);
    qor_ndr_free_strings(binding.len, binding.val);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(stub.size()));
}
BENCHMARK(BM_GetobjReplyDecode);

}  // namespace
