// The platform's "last error": a per-thread Win32-style number (1056, 1066,
// 1354, 1805, RPC statuses) that failed platform calls leave behind and the
// service reports in event 0xC0000003 and in its exit code.
#pragma once

#include <cstdint>

// Numbers the platform's calls leave behind, shared with the LAN Manager
// functions (netapi.h), which answer them as results.
constexpr uint32_t ERROR_INVALID_HANDLE = 6;     // no such object, or it was never made
constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;  // memory, or a thread, could not be had

uint32_t qor_get_last_error();
void qor_set_last_error(uint32_t code);
