// String bindings arrive from recovery files, the name-service folder and remote callers: any
// text must parse to a status without a crash, and a binding that parses must compose back to
// text that parses again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/rpc/string_binding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  if (std::strlen(text.c_str()) != size) return 0;  // bindings are C strings
  char* p[5];
  if (RpcStringBindingParseA(text.c_str(), &p[0], &p[1], &p[2], &p[3], &p[4]) != RPC_S_OK) {
    return 0;
  }
  char* composed = nullptr;
  RPC_STATUS status = RpcStringBindingComposeA(p[0], p[1], p[2], p[3], p[4], &composed);
  if (status != RPC_S_OK) abort();
  char* q[5];
  status = RpcStringBindingParseA(composed, &q[0], &q[1], &q[2], &q[3], &q[4]);
  // The network options come back joined with commas, so an escaped comma inside one of them
  // cannot survive; without options the round trip is exact.
  if (p[4][0] == '\0') {
    if (status != RPC_S_OK) abort();
    for (int i = 0; i < 5; ++i) {
      if (std::strcmp(p[i], q[i]) != 0) abort();
    }
  }
  for (int i = 0; i < 5; ++i) {
    RpcStringFreeA(&p[i]);
    if (status == RPC_S_OK) RpcStringFreeA(&q[i]);
  }
  RpcStringFreeA(&composed);
  return 0;
}
