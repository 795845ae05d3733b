// The event log: qor's only diagnostic channel. Every module reports through
// these functions; the sinks (journald, syslog, standard error in console mode,
// a capture file for tests) are chosen by NS__LogInit.
#pragma once

#include <cstdint>

// Event types (chosen by the caller; need not match the identifier's severity).
constexpr uint16_t NS_EVENT_ERROR = 1;
constexpr uint16_t NS_EVENT_WARNING = 2;
constexpr uint16_t NS_EVENT_INFORMATION = 4;

// Event identifiers.
constexpr uint32_t NS_EV_STARTED = 0x40000001;          // service started
constexpr uint32_t NS_EV_COMPLETED = 0x40000002;        // service completed
constexpr uint32_t NS_EV_DUPLICATE = 0x80000007;        // %1 object, %2 class: later one ignored
constexpr uint32_t NS_EV_UNDO_ADD = 0x80000008;         // %1 object, %2 class: cannot delete
constexpr uint32_t NS_EV_UNDO_REPLACE = 0x80000009;     // %1 object, %2 class: cannot overwrite
constexpr uint32_t NS_EV_NO_PROTSEQ = 0x8000000E;       // %1 protocol sequence unsupported
constexpr uint32_t NS_EV_BAD_PROTSEQ = 0x8000000F;      // %1 protocol sequence invalid
constexpr uint32_t NS_EV_WIN32 = 0xC0000003;            // %1 last error, %2 location
constexpr uint32_t NS_EV_WINSOCK = 0xC0000004;          // %1 error, %2 location
constexpr uint32_t NS_EV_CRT = 0xC0000005;              // %1 errno, %2 location
constexpr uint32_t NS_EV_INTERNAL = 0xC0000006;         // %1 location, %2 number, %3 text
constexpr uint32_t NS_EV_NO_HOSTADDR = 0xC000000A;      // %1 host name
constexpr uint32_t NS_EV_BAD_PRELOAD = 0xC000000B;      // %1 preload file line
constexpr uint32_t NS_EV_NOT_PDC = 0xC000000C;          // not the primary domain controller
constexpr uint32_t NS_EV_ALREADY_RUNNING = 0xC000000D;  // %1 machine of the workgroup

// Location codes of failed platform calls: module number x 0x1000000 + line.
constexpr uint32_t NS_MODULE_QORMAIN = 1;
constexpr uint32_t NS_MODULE_RWLOCK = 2;
constexpr uint32_t NS_MODULE_PDCCACHE = 3;
constexpr uint32_t NS_MODULE_QOROP = 4;
#define NS_LOCATION(module) (static_cast<uint32_t>(module) * 0x1000000u + __LINE__)

// 0 when the source is (or already was) registered; 19 when it cannot be.
int NS__LogInit();
// 13 before NS__LogInit; 0 when reported; 19 when the sink failed.
int NS__LogWrite(uint16_t type, uint32_t eid, uint16_t len, const char* const* arg);
// Numbers are printed with "%x" as insertion strings.
int NS__Log_UU(uint16_t type, uint32_t eid, uint32_t u1, uint32_t u2);
int NS__Log_SS(uint16_t type, uint32_t eid, const char* str1, const char* str2);
int NS__Log_S(uint16_t type, uint32_t eid, const char* str1);
// A null str1 reports an empty third string.
int NS__Log_UUS(uint16_t type, uint32_t eid, uint32_t u1, uint32_t u2, const char* str1);
