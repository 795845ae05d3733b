// The service host: service control (systemd's notify protocol and signals,
// platform/svcctl.h), the start-up sequence with its checks, the RPC
// server's start and stop, the end-of-run event and the internal stop
// request. The process entry `main` is in qormain_entry.cpp.
//
// Threads: the main thread (the control dispatcher and `svcctrl` in service
// mode, the whole run in console mode), the `svcmain` thread, the
// start-pending reporter during start-up, the shutdown thread, the RPC stop
// thread inside `qor_term`, and the RPC runtime's call threads, from which
// NS__qor_stop may be called. `endproc` is the only hand-over between them.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/sync.h"

// Last errors of a refused or failed start, reported as the service's exit
// code.
constexpr uint32_t ERROR_SERVICE_ALREADY_RUNNING = 1056;  // another instance in the workgroup
constexpr uint32_t ERROR_INVALID_DOMAIN_ROLE = 1354;      // a domain member, not the controller

// Nonzero: skip the may-I-run check. Set by the entry from "-f" or the setting
// "QorDisableCheck" before `qor_init` runs.
extern int forcerun;

// Serialises every use of the RPC name service by binding import. Created by
// `qor_init` before the RPC server starts, never destroyed after a successful
// start.
extern std::mutex* NS__nslock;

// Creates `endproc`, the manual-reset, initially non-signalled event whose
// signal ends the run. Called once by the process entry, before any other
// thread exists. 0 (also when it already exists: the event is kept); 19 with
// the last error set when it cannot be created.
int qor_create_endproc();
// The end-of-run event; null before qor_create_endproc.
qor_event* qor_endproc();

// Asks the whole service to end after an unrecoverable failure of a lock or a
// wait: signals `endproc`, on which the start-up thread waits. If it cannot be
// signalled (also when it was never created), reports events 0xC0000003 and
// 0x40000002 and ends the process at once with exit code 0. Any thread; no lock.
void NS__qor_stop();

// The start-up sequence, in this order: NS__InitQorop; the LAN group becomes
// NS__ms_domain; unless `forcerun`, the may-I-run check; the data directory
// ("QorDataDirectory", else $SystemRoot/qor, else /var/lib/qor);
// NS__InitNameObj; NS__PdcCacheInit; NS__nslock; start_rpc. 0 when the
// service is ready and listening (calls may already run). Otherwise a status
// with the last error set to the reason: 19 with 1354 (domain member that is
// not the controller, event 0xC000000C) or 1056 (another instance in the
// workgroup, event 0xC000000D); the registry's status with 1066; 19 with the
// RPC runtime's status; 14. What was brought up from the registry on is
// taken down again. Start-up thread only, once.
int qor_init();

// Stops the RPC server on a thread of its own and waits for it at most 120 s;
// a stop still waiting for calls after that is left running. The registry,
// the caches and the event log stay as they are: the recovery files are
// current after every change.
void qor_term();

// Service mode: the service's main function, run by the control dispatcher on
// its own thread, and its control handler, run on the dispatcher's thread.
void svcmain(int argc, char** argv);
void svcctrl(uint32_t control);

// Console mode: one line on standard error saying why the start failed, since
// no service manager receives the exit code there.
void qor_console_start_failed(int status);

// Ends the process with exit code 0 without running static destructors: a
// stop that timed out may leave call threads running.
[[noreturn]] void qor_exit();
