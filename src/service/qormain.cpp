#include "service/qormain.h"

#include <unistd.h>

#include <atomic>
#include <new>

#include "platform/lasterror.h"
#include "registry/status.h"
#include "service/elog.h"

namespace {

// The platform's answer to a wait or signal on a handle that does not exist.
constexpr uint32_t ERROR_INVALID_HANDLE = 6;
constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;

// Written once by the main thread before other threads start; atomic so that
// a stop request racing a test's creation is still well defined.
std::atomic<qor_event*> endproc{nullptr};

}  // namespace

int qor_create_endproc() {
  if (endproc.load(std::memory_order_acquire) != nullptr) return NS_S_OK;
  qor_event* ev = new (std::nothrow) qor_event();
  if (ev == nullptr) {
    qor_set_last_error(ERROR_NOT_ENOUGH_MEMORY);
    return NS_S_SYSFAIL;
  }
  endproc.store(ev, std::memory_order_release);
  return NS_S_OK;
}

qor_event* qor_endproc() { return endproc.load(std::memory_order_acquire); }

void NS__qor_stop() {
  qor_event* ev = endproc.load(std::memory_order_acquire);
  bool signalled = false;
  if (ev == nullptr)
    qor_set_last_error(ERROR_INVALID_HANDLE);
  else
    signalled = ev->signal();
  if (signalled) return;
  NS__Log_UU(NS_EVENT_ERROR, NS_EV_WIN32, qor_get_last_error(), NS_LOCATION(NS_MODULE_QORMAIN));
  NS__LogWrite(NS_EVENT_INFORMATION, NS_EV_COMPLETED, 0, nullptr);
  // At once and without clean-up: the recovery files are current after every
  // change, and nothing else can be trusted after the stop itself failed.
  _exit(0);
}
