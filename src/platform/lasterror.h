// The platform's "last error": a per-thread Win32-style number (1056, 1066,
// 1354, 1805, RPC statuses) that failed platform calls leave behind and the
// service reports in event 0xC0000003 and in its exit code.
#pragma once

#include <cstdint>

uint32_t qor_get_last_error();
void qor_set_last_error(uint32_t code);
