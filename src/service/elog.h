// The event log: qor's only diagnostic channel. Every module reports through
// these functions, from any thread, without a lock of its own.
//
// Sinks of a report:
// - QOR_EVENTLOG=file:PATH in the environment (looked up at each report, so a
//   test may point it at a fresh file per case): one JSON line appended to PATH,
//   {"id":"0xC0000003","type":1,"strings":["6","10002a1"],"text":"65-101 ..."}
//   with the English text. The capture replaces the journal and syslog.
// - otherwise journald (sd_journal_send with MESSAGE, PRIORITY, SYSLOG_IDENTIFIER=qor,
//   QOR_EVENT_ID, QOR_EVENT_TYPE, QOR_STRING1...) when its socket exists at
//   NS__LogInit, else syslog(3) as "qor" in facility daemon;
// - in console mode also one formatted line on standard error.
// The journal, syslog and standard-error texts are in the language of
// qor_elog_language(). Identifiers print as "0x" and 8 upper-case hex digits.
#pragma once

#include <cstddef>
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

// 0 when the source is (or already was) registered; 19 when it cannot be
// (QOR_EVENTLOG set but not of the form file:PATH). Called once by the main
// thread before other threads report; later calls do nothing.
int NS__LogInit();
// 13 before NS__LogInit; 0 when reported; 19 when a sink failed. `arg` may be
// null when `len` is 0; a null string in it reports as "".
int NS__LogWrite(uint16_t type, uint32_t eid, uint16_t len, const char* const* arg);
// Numbers are printed with "%x" as insertion strings.
int NS__Log_UU(uint16_t type, uint32_t eid, uint32_t u1, uint32_t u2);
int NS__Log_SS(uint16_t type, uint32_t eid, const char* str1, const char* str2);
int NS__Log_S(uint16_t type, uint32_t eid, const char* str1);
// A null str1 reports an empty third string.
int NS__Log_UUS(uint16_t type, uint32_t eid, uint32_t u1, uint32_t u2, const char* str1);

// Console mode: every later report is also written to standard error.
void qor_elog_set_console(bool on);

// QOR_LANG_JAPANESE when the first of LC_ALL, LC_MESSAGES, LANG that is set
// and not empty begins with "ja", else QOR_LANG_ENGLISH (service/elog_messages.h).
int qor_elog_language();

// The text of `eid` in `lang` with insertion strings %1..%9 filled in from
// `arg` (a missing one stays as written) and the line end removed. An
// identifier outside the message table gives "event 0x........:" followed by
// the strings. Writes at most `size` bytes including the terminator into `buf`
// (which may be null when `size` is 0) and returns the whole text's length,
// as snprintf does.
size_t qor_elog_format(uint32_t eid, int lang, uint16_t len, const char* const* arg, char* buf,
                       size_t size);
