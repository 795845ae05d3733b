#include "platform/svcctl.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "platform/lasterror.h"
#include "platform/thread.h"

namespace {

// Registered by svcmain's thread, read by the dispatcher's.
std::atomic<qor_svcctrl_func> ctrl_handler{nullptr};
// Wakes the dispatcher when the handler is registered and when svcmain ends.
int dispatcher_kick = -1;
std::atomic<bool> svcmain_ended{false};
// Whether the last status reported accepts the stop control. A signal cannot
// be refused as the service manager refuses a control: it waits until then.
std::atomic<bool> stop_accepted{false};
// A stop signal has arrived and waits for the service to accept it. The start
// no longer asks for more time then: the service manager's stop timeout, which
// its EXTEND_TIMEOUT_USEC would push back as well, stays the bound of a start
// that hangs.
std::atomic<bool> stop_held{false};

// Closes the dispatcher's descriptors in reverse order of their making. The
// kick goes back to -1, so that a later registration writes to no descriptor
// that the number may by then name.
void close_dispatcher(int sfd) {
  if (dispatcher_kick >= 0) close(dispatcher_kick);
  dispatcher_kick = -1;
  if (sfd >= 0) close(sfd);
}

struct svcmain_arg {
  qor_svcmain_func fn;
  int argc;
  char** argv;
};

sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

// The Win32-style number for a failed system call: the last error is reported
// in events and exit codes as such, where an errno value names another error.
uint32_t win32_error(int err) {
  switch (err) {
    case ENOMEM:
    case EAGAIN:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE:
      return 4;  // ERROR_TOO_MANY_OPEN_FILES
    case EACCES:
    case EPERM:
      return 5;  // ERROR_ACCESS_DENIED
    default:
      return ERROR_INVALID_HANDLE;  // the control channel cannot be used
  }
}

void kick_dispatcher() {
  uint64_t one = 1;
  // An eventfd write cannot fail short of an overflowed counter.
  ssize_t n = write(dispatcher_kick, &one, sizeof one);
  (void)n;
}

void* run_svcmain(void* p) {
  auto* arg = static_cast<svcmain_arg*>(p);
  arg->fn(arg->argc, arg->argv);
  svcmain_ended.store(true, std::memory_order_release);
  kick_dispatcher();
  return nullptr;
}

void* console_stop(void* p) {
  auto* ev = static_cast<qor_event*>(p);
  sigset_t set = stop_signals();
  for (int stops = 0;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    if (++stops == 1) {
      ev->signal();
      continue;
    }
    // A second stop ends the console run at once: a start or stop held up by
    // a peer that never answers must not need SIGKILL. Every acknowledged
    // change is on disk already.
    std::fputs("qor: second stop signal, ending at once\n", stderr);  // unbuffered
    _exit(0);
  }
  return nullptr;
}

}  // namespace

bool qor_svc_startup() {
  sigset_t set = stop_signals();
  int rc = pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (rc != 0) {
    qor_set_last_error(win32_error(rc));
    return false;
  }
  signal(SIGPIPE, SIG_IGN);
  return true;
}

bool qor_svc_dispatch(qor_svcmain_func svcmain, int argc, char** argv) {
  sigset_t set = stop_signals();
  int sfd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  dispatcher_kick = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (sfd < 0 || dispatcher_kick < 0) {
    qor_set_last_error(win32_error(errno));
    close_dispatcher(sfd);
    return false;
  }
  svcmain_arg arg{svcmain, argc, argv};
  pthread_t th;
  if (!qor_thread_start(run_svcmain, &arg, &th)) {
    close_dispatcher(sfd);
    return false;
  }
  while (!svcmain_ended.load(std::memory_order_acquire)) {
    pollfd fds[2] = {{sfd, POLLIN, 0}, {dispatcher_kick, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    signalfd_siginfo si;
    while (read(sfd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) stop_held.store(true);
    uint64_t kicks;
    if (read(dispatcher_kick, &kicks, sizeof kicks) < 0) kicks = 0;
    qor_svcctrl_func handler = ctrl_handler.load(std::memory_order_acquire);
    if (stop_held.load() && handler != nullptr && stop_accepted.load(std::memory_order_acquire) &&
        !svcmain_ended.load(std::memory_order_acquire)) {
      stop_held.store(false);
      handler(SERVICE_CONTROL_STOP);
    }
  }
  qor_thread_wait(th, QOR_INFINITE);
  close_dispatcher(sfd);
  return true;
}

SERVICE_STATUS_HANDLE qor_svc_register(const char* /*name*/, qor_svcctrl_func handler) {
  ctrl_handler.store(handler, std::memory_order_release);
  if (dispatcher_kick >= 0) kick_dispatcher();
  return 1;
}

bool qor_svc_report(SERVICE_STATUS_HANDLE /*ssh*/, const SERVICE_STATUS* ss) {
  char text[256];
  unsigned long long extend_usec = static_cast<unsigned long long>(ss->dwWaitHint) * 1000ULL;
  switch (ss->dwCurrentState) {
    case SERVICE_START_PENDING: {
      int n =
          std::snprintf(text, sizeof text, "STATUS=Starting (check point %u)", ss->dwCheckPoint);
      if (!stop_held.load()) {
        std::snprintf(text + n, sizeof text - n, "\nEXTEND_TIMEOUT_USEC=%llu", extend_usec);
      }
      break;
    }
    case SERVICE_RUNNING:
      std::snprintf(text, sizeof text, "READY=1\nSTATUS=Running");
      break;
    case SERVICE_STOP_PENDING:
      std::snprintf(text, sizeof text,
                    "STOPPING=1\nSTATUS=Stopping (check point %u)\nEXTEND_TIMEOUT_USEC=%llu",
                    ss->dwCheckPoint, extend_usec);
      break;
    default:
      if (ss->dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR)
        std::snprintf(text, sizeof text,
                      "STATUS=Stopped (exit code %u, service-specific exit code %u)",
                      ss->dwWin32ExitCode, ss->dwServiceSpecificExitCode);
      else
        std::snprintf(text, sizeof text, "STATUS=Stopped (exit code %u)", ss->dwWin32ExitCode);
      break;
  }
  int rc = sd_notify(0, text);
  // Only once the status is out: a stop held back must not be reported first.
  // Nothing is accepted once stopped, so that no STOPPING=1 follows the last status.
  bool accepts =
      ss->dwCurrentState != SERVICE_STOPPED && (ss->dwControlsAccepted & SERVICE_ACCEPT_STOP) != 0;
  if (stop_accepted.exchange(accepts, std::memory_order_acq_rel) != accepts &&
      dispatcher_kick >= 0) {
    kick_dispatcher();  // a stop held back may go now
  }
  if (rc >= 0) return true;
  qor_set_last_error(win32_error(-rc));
  return false;
}

bool qor_svc_console_stop(qor_event* ev) {
  pthread_t th;
  if (!qor_thread_start(console_stop, ev, &th)) return false;
  qor_thread_close(th);
  return true;
}
