// Service control on Linux. systemd's notify protocol takes the place of the
// service control manager's status reports, and signals the place of its
// controls:
// - a status report is sent to $NOTIFY_SOCKET with sd_notify:
//     start pending  "STATUS=Starting (check point N)" and
//                    "EXTEND_TIMEOUT_USEC=" the wait hint
//     running        "READY=1" and "STATUS=Running"
//     stop pending   "STOPPING=1", "STATUS=Stopping (check point N)" and
//                    "EXTEND_TIMEOUT_USEC=" the wait hint
//     stopped        "STATUS=Stopped (exit code W)", or with W 1066
//                    "STATUS=Stopped (exit code 1066, service-specific exit code S)"
//   Without NOTIFY_SOCKET a report goes nowhere and succeeds.
// - SIGTERM (systemd's stop, also at system shutdown) and SIGINT (a
//   terminal's interrupt) are the stop control. No signal stands for the
//   shutdown control: systemd stops a service with SIGTERM either way.
#pragma once

#include <cstdint>

#include "platform/sync.h"

// The service status record, seven fields in the platform's order.
struct SERVICE_STATUS {
  uint32_t dwServiceType;
  uint32_t dwCurrentState;
  uint32_t dwControlsAccepted;
  uint32_t dwWin32ExitCode;
  uint32_t dwServiceSpecificExitCode;
  uint32_t dwCheckPoint;
  uint32_t dwWaitHint;
};

constexpr uint32_t SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr uint32_t SERVICE_STOPPED = 1;
constexpr uint32_t SERVICE_START_PENDING = 2;
constexpr uint32_t SERVICE_STOP_PENDING = 3;
constexpr uint32_t SERVICE_RUNNING = 4;
constexpr uint32_t SERVICE_ACCEPT_STOP = 1;
constexpr uint32_t SERVICE_ACCEPT_SHUTDOWN = 4;
constexpr uint32_t SERVICE_CONTROL_STOP = 1;
constexpr uint32_t SERVICE_CONTROL_INTERROGATE = 4;
constexpr uint32_t SERVICE_CONTROL_SHUTDOWN = 5;
// Win32 exit code meaning "see the service-specific exit code".
constexpr uint32_t ERROR_SERVICE_SPECIFIC_ERROR = 1066;

using SERVICE_STATUS_HANDLE = uintptr_t;
using qor_svcmain_func = void (*)(int argc, char** argv);
using qor_svcctrl_func = void (*)(uint32_t control);

// The first call of the process, before any other thread exists: blocks
// SIGINT and SIGTERM in this thread and so in every thread started later
// (qor_svc_dispatch or qor_svc_console_stop take them), and ignores SIGPIPE,
// so that a peer closing its connection cannot end the service. True; false
// with the last error set when the signal mask cannot be changed.
bool qor_svc_startup();

// The control dispatcher: runs svcmain(argc, argv) on a thread of its own
// and, on the calling thread, hands every SIGTERM and SIGINT to the handler
// registered with qor_svc_register as SERVICE_CONTROL_STOP (a signal that
// comes before the registration, or while the last status reported does not
// accept the stop, waits until it does). Returns true once svcmain has
// returned; false with the last error set when svcmain could not be started.
bool qor_svc_dispatch(qor_svcmain_func svcmain, int argc, char** argv);

// Registers the control handler of the service `name`; it runs on the
// dispatcher's thread. The handle for qor_svc_report; never 0.
SERVICE_STATUS_HANDLE qor_svc_register(const char* name, qor_svcctrl_func handler);

// Reports `ss` to systemd as described above. True when sent, or when there
// is no NOTIFY_SOCKET; false with the last error set for the failed send.
// Any thread.
bool qor_svc_report(SERVICE_STATUS_HANDLE ssh, const SERVICE_STATUS* ss);

// Console mode: starts a thread that signals `ev` at every SIGINT and SIGTERM.
// False with the last error set when the thread cannot be started.
bool qor_svc_console_stop(qor_event* ev);
