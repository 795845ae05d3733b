// Feeds arbitrary bytes to the record readers, as a damaged or hand-edited
// recovery file would: every reader must answer with a status and leave
// nothing behind (the leak checker sees a partial record).
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/memory.h"
#include "registry/objutil.h"
#include "registry/status.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the record kind; the rest is the file.
  FILE* fp = fmemopen(const_cast<uint8_t*>(data + 1), size - 1, "r");
  if (fp == nullptr) return 0;
  char* buf = nullptr;
  size_t bufsize = 0;
  int rc = NS_S_OK;
  // Read records of the chosen kind until the file gives no more.
  while (rc == NS_S_OK) {
    switch (data[0] % 4) {
      case 0: {
        qorobjid id;
        rc = NS__read_qorobjid(fp, &buf, &bufsize, &id);
        if (rc == NS_S_OK) NS__free_qorobjid(&id);
        break;
      }
      case 1: {
        qorobjects objs;
        rc = NS__read_qorobjects(fp, &buf, &bufsize, &objs);
        if (rc == NS_S_OK) NS__free_qorobjects(&objs);
        break;
      }
      case 2: {
        rpcbinding b;
        rc = NS__read_rpcbinding(fp, &buf, &bufsize, &b);
        if (rc == NS_S_OK) NS__free_rpcbinding(&b);
        break;
      }
      default: {
        qor_serverinfo info;
        rc = NS__read_qor_serverinfo(fp, &buf, &bufsize, &info);
        if (rc == NS_S_OK) NS__free_qor_serverinfo(&info);
        break;
      }
    }
  }
  if (rc != NS_S_EOF && rc != NS_S_NOCLASS && rc != NS_S_NOMEM && rc != NS_S_SYSFAIL) {
    __builtin_trap();  // a status the readers never give
  }
  qor_free(buf);
  std::fclose(fp);
  return 0;
}
