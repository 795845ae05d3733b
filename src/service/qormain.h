// The end-of-run event and the internal stop request that any module may use
// to end the service after an unrecoverable failure.
#pragma once

#include "platform/sync.h"

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
