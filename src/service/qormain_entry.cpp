// The process entry of qor: `qor [-c] [-f]`, "-h" for the usage text.
// Service mode (no "-c") runs under systemd's notify protocol; console mode
// runs in the foreground until SIGINT, SIGTERM or an internal stop request.
// The exit code is 0 on every path: why a start failed travels in the
// service's exit code (service mode) and in the event log.
#include <cstdio>

#include "platform/lasterror.h"
#include "platform/memory.h"
#include "platform/svcctl.h"
#include "registry/status.h"
#include "service/elog.h"
#include "service/qormain.h"
#include "service/qorutil.h"

int main(int argc, char** argv) {
  qor_heap_setup();
  // Linux's counterpart of starting Windows Sockets: the stop signals are
  // taken by one thread only, and a closed connection must not end the process.
  if (!qor_svc_startup()) return 0;

  bool console = false;
  // Only arguments that begin with '-' count, and of them only the second
  // character; "-h" ends the process before later arguments are seen.
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '-') continue;
    switch (argv[i][1]) {
      case 'c':
        console = true;
        break;
      case 'f':
        forcerun = 1;
        break;
      case 'h':
        std::fputs("qor [-c] [-f]\n", stdout);
        return 0;
      default:
        break;
    }
  }
  if (!forcerun) forcerun = NS__GetRegInt("QorDisableCheck", 0) != 0;

  qor_elog_set_console(console);
  if (NS__LogInit() != NS_S_OK) {
    // Nothing can be reported, but a console is there to be told.
    if (console)
      std::fputs("qor: the event log did not start (QOR_EVENTLOG is not file:PATH)\n", stderr);
    return 0;
  }
  if (qor_create_endproc() != NS_S_OK) {
    NS__Log_UU(NS_EVENT_ERROR, NS_EV_WIN32, qor_get_last_error(), NS_LOCATION(NS_MODULE_QORMAIN));
    return 0;
  }

  if (!console) {
    // Returns when svcmain has ended, whatever happened in it.
    qor_svc_dispatch(svcmain, argc, argv);
    qor_exit();
  }

  if (!qor_svc_console_stop(qor_endproc())) {
    NS__Log_UU(NS_EVENT_ERROR, NS_EV_WIN32, qor_get_last_error(), NS_LOCATION(NS_MODULE_QORMAIN));
    qor_exit();
  }
  int status = qor_init();
  if (status != NS_S_OK) {
    qor_console_start_failed(status);
    qor_exit();
  }
  NS__LogWrite(NS_EVENT_INFORMATION, NS_EV_STARTED, 0, nullptr);
  qor_endproc()->wait();
  qor_term();
  NS__LogWrite(NS_EVENT_INFORMATION, NS_EV_COMPLETED, 0, nullptr);
  qor_exit();
}
