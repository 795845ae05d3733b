// Runs one event-log or stop-request scenario in a fresh process, where
// nothing has been initialised yet, and exits with what it observed.
//   elog_probe before-init  exit code: status of a report before NS__LogInit
//   elog_probe init         exit code: status of NS__LogInit
//   elog_probe stop         NS__LogInit, then NS__qor_stop with no end-of-run
//                           event; exits 3 if the stop request returns
#include <cstring>

#include "registry/status.h"
#include "service/elog.h"
#include "service/qormain.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  if (std::strcmp(argv[1], "before-init") == 0) {
    int a = NS__Log_S(NS_EVENT_ERROR, NS_EV_NO_HOSTADDR, "host");
    int b = NS__LogWrite(NS_EVENT_INFORMATION, NS_EV_STARTED, 0, nullptr);
    return a == b ? a : 100;
  }
  if (std::strcmp(argv[1], "init") == 0) {
    int rc = NS__LogInit();
    // A failed registration leaves the log uninitialised.
    if (rc != 0 && NS__LogWrite(NS_EVENT_INFORMATION, NS_EV_STARTED, 0, nullptr) != NS_S_NOTINIT)
      return 101;
    return rc;
  }
  if (std::strcmp(argv[1], "stop") == 0) {
    if (NS__LogInit() != 0) return 4;
    NS__qor_stop();
    return 3;
  }
  return 2;
}
