// Settings of the service: named values read from the settings file,
// `$QOR_CONFIG` or else /etc/qor/qor.conf (the machine's key
// Software\Odrane\Varnelith\qor). The file's grammar is described in
// doc/settings_file.md.
//
// The readers never fail towards their caller: a missing file or value, a value of another
// type, an unreadable file, a failed allocation and a guard that cannot be taken all give the
// default. Each read holds the value's guard, a lock shared with every other process that reads
// or changes the same value, from before the file is opened until the value has been taken out
// of it; the wait for the guard has no time limit.
//
// Locks: the caller may hold any lock of the service; these functions take only the value's
// guard.
#pragma once

#include <cstdint>

// A `dword` value; `defval` when absent or of another type.
uint32_t NS__GetRegInt(const char* key, uint32_t defval);

// An `sz` value, or an `expand_sz` value with its %VAR% references expanded from the
// environment. Returns a new string (qor_malloc; the caller frees it) or `defval` itself, not
// copied: the caller tells the two apart by comparing with its own default.
char* NS__GetRegStr(const char* key, char* defval);

// A `multi_sz` value as a new null-terminated array of new strings (qor_malloc; the caller frees
// every string, then the array), or `defval` itself (not to be freed), or null when the value is
// present but holds the empty list. The array has room for 8 pointers, grown by 8 whenever the
// terminating null would not fit.
char** NS__GetRegStrArray(const char* key, char** defval);

// The guard of one value, for any program that reads or changes a setting alongside the
// service: an exclusive flock on /run/lock/qor/NAME (or, when that directory cannot be used, on
// a private directory of the system's temporary directory). Returns a descriptor that holds the
// guard, or -1 when it cannot be taken. Blocks while another process holds the guard.
int qor_setting_guard_take(const char* name);
// Gives the guard back and closes the descriptor.
void qor_setting_guard_release(int guard);
