// Changes a name-service entry as another process sharing the folder would
// (folder and LAN group from QOR_CONFIG), for ns_qor_if 1.1 with the bindings
// ncacn_ip_tcp:10.0.<i/256>.<i%256>:
//   rpc_ns_churn ENTRY FIRST COUNT 0       exports FIRST..FIRST+COUNT-1, one export each
//   rpc_ns_churn ENTRY 0 COUNT ROUNDS      ROUNDS times: exports 0..COUNT-1 at once, unexports
// Exits 0 when every call answered 0, else 1.
#include <cstdlib>
#include <string>
#include <vector>

#include "federation/qor_s.h"
#include "platform/rpc/rpc.h"

namespace {

const char* entry;

RPC_STATUS export_range(int first, int count) {
  std::vector<RPC_BINDING_HANDLE> handles(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    std::string text = "ncacn_ip_tcp:10.0." + std::to_string((first + i) / 256) + "." +
                       std::to_string((first + i) % 256);
    RpcBindingFromStringBindingA(text.c_str(), &handles[static_cast<size_t>(i)]);
  }
  RPC_BINDING_VECTOR vec = {handles.size(), handles.data()};
  RPC_STATUS st = RpcNsBindingExportA(3, entry, &NS__sv_ns_qor_if_v1_1_s_ifspec, &vec, nullptr);
  for (RPC_BINDING_HANDLE& h : handles) RpcBindingFree(&h);
  return st;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) return 1;
  entry = argv[1];
  int first = std::atoi(argv[2]), count = std::atoi(argv[3]), rounds = std::atoi(argv[4]);
  for (int i = 0; rounds == 0 && i < count; ++i) {
    if (export_range(first + i, 1) != RPC_S_OK) return 1;
  }
  for (int i = 0; i < rounds; ++i) {
    if (export_range(0, count) != RPC_S_OK ||
        RpcNsBindingUnexportA(3, entry, &NS__sv_ns_qor_if_v1_1_s_ifspec, nullptr) != RPC_S_OK) {
      return 1;
    }
  }
  return 0;
}
