#include "platform/lasterror.h"

namespace {
thread_local uint32_t last_error = 0;
}

uint32_t qor_get_last_error() { return last_error; }
void qor_set_last_error(uint32_t code) { last_error = code; }
