// A client call over loopback, 120 bytes each way, to a one-thread-per-
// connection server driving the server connection machine: on a handle that
// keeps its connection, and on a fresh copy of a handle for every call (a
// connect and a bind each time, as a forwarded request does with the copy the
// binding import hands it).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/rpc/assoc.h"
#include "platform/rpc/rpc.h"

namespace {

rpc_stub_result echo(const void*, const uint8_t* in, size_t len, std::vector<uint8_t>* out) {
  out->assign(in, in + len);
  return {0, true};
}
const rpc_server_stub_t stubs[] = {echo};
const rpc_server_interface iface = {
    {{0xb1da8d70, 0x4984, 0x11d0, {0xb9, 0x8c, 0x00, 0xa0, 0x24, 0x8d, 0xf9, 0x1a}}, 1, 1},
    1,
    stubs,
    nullptr};
const rpc_if_entry entries[] = {{&iface, nullptr}};
rpc_if_list registered = {entries, 1};

void serve(int fd, rpc_assoc_groups* groups) {
  rpc_server_conn c;
  rpc_sconn_init(&c, {rpc_if_list_lookup, &registered, groups, "0"});
  std::vector<uint8_t> in(8192), out;
  for (ssize_t n; (n = recv(fd, in.data(), in.size(), 0)) > 0;) {
    for (size_t off = 0, used; off < size_t(n); off += used) {
      int state = rpc_sconn_receive(&c, &in[off], n - off, &used);
      if (state == RPC_SCONN_CALL) rpc_sconn_execute(&c);
    }
    rpc_sconn_take_output(&c, &out);
    send(fd, out.data(), out.size(), MSG_NOSIGNAL);
    out.clear();
  }
  rpc_sconn_release(&c);
  close(fd);
}

// A listening socket on 127.0.0.1, port 0, whose connections are served until
// the process ends; returns its binding.
std::string start_server() {
  static rpc_assoc_groups* groups = rpc_assoc_groups_create();
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa = {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof sa;
  bind(fd, reinterpret_cast<sockaddr*>(&sa), len);
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  listen(fd, 64);
  std::thread([fd] {
    for (int c; (c = accept(fd, nullptr, nullptr)) >= 0;) std::thread(serve, c, groups).detach();
  }).detach();
  return "ncacn_ip_tcp:127.0.0.1[" + std::to_string(ntohs(sa.sin_port)) + "]";
}

void BM_RpcClientCall(benchmark::State& state) {
  static const std::string binding = start_server();
  bool copy_each_call = state.range(0) != 0;
  RPC_BINDING_HANDLE h = nullptr;
  RpcBindingFromStringBindingA(binding.c_str(), &h);
  std::vector<uint8_t> request(120, 0x42), reply;
  for (auto _ : state) {
    RPC_BINDING_HANDLE use = h;
    if (copy_each_call) RpcBindingCopy(h, &use);
    if (rpc_binding_call(use, &iface, 0, request, &reply) != RPC_S_OK) {
      state.SkipWithError("call failed");
    }
    if (copy_each_call) RpcBindingFree(&use);
  }
  RpcBindingFree(&h);
}
BENCHMARK(BM_RpcClientCall)->ArgName("copy_each_call")->Arg(0)->Arg(1)->UseRealTime();

}  // namespace
