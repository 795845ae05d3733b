// The sorted key table: the only keyed collection of qor. A growable array of
// key/data pairs kept in strictly ascending key order under the comparison
// chosen at creation, searched by bisection. Class stores key it by object name
// (_mbscmp); the PDC address cache and the domain list by domain name
// (_mbsicmp).
//
// The table owns private copies of its keys; it holds the data pointers for
// its user and frees data only through a release function the user passes in.
// It takes no lock: REQUIRES every call on one table, enumeration included, to
// be serialised by its user (the registry lock, the cache's mutex).
#pragma once

#include <cstdint>

struct tabhandle;

// Negative, 0 or positive as the first key sorts before, equal to or after the
// second. The stored key is always the first argument, the searched key the second.
typedef int (*tabCmpFunc_t)(const char* key1, const char* key2);
// Releases one data pointer (never called with null).
typedef void (*tabFreeFunc_t)(void* data);
// Called per entry by NS__TabEnum; a non-zero result stops the walk. Must not
// add or remove entries of the table it walks.
typedef int (*tabEnumFunc_t)(tabhandle* ha, const char* key, void* data, void* priv);

struct tabentry {
  char* key;   // the table's own heap copy
  void* data;  // the user's
};

struct tabhandle {
  tabentry* tab;         // the slots; null until the first insertion
  int32_t size;          // slots allocated, a multiple of 16; never shrinks
  int32_t cnt;           // slots in use: 0 to cnt-1, strictly ascending
  tabCmpFunc_t cmpfunc;  // ordering of keys
};
typedef tabhandle tabhandle_t;

// A table turned into the list of its keys (NS__TabConvKeyList).
struct tabkeylist_t {
  uint32_t len;
  char** val;  // len key strings; null when len is 0
};

// Creates an empty table: 0 with the new handle in *handle, or 14.
int NS__TabInit(tabhandle_t** handle, tabCmpFunc_t cmpfunc);

// Destroys the table: per entry in key order, freefunc(data) when freefunc is
// given and data is not null, then the key; then the slots and the handle.
// A null `ha` is ignored.
void NS__TabTerm(tabhandle_t* ha, tabFreeFunc_t freefunc);

// Inserts `key` (copied) with `data`. If the key is present: with `olddata`
// null, 16 and nothing changes (the caller keeps `data`); otherwise the old
// data pointer goes to *olddata (now the caller's), `data` takes its place,
// and the stored key keeps its first spelling. 14 leaves the table unchanged.
// Returns 0, 14 or 16.
int NS__TabAdd(tabhandle_t* ha, const char* key, void* data, void** olddata);

// 0 with the entry's data pointer in *data (still the table's), or 15 with
// *data untouched.
int NS__TabGet(tabhandle_t* ha, const char* key, void** data);

// Removes the entry: 0 with its data pointer in *data (now the caller's), or
// 15. The slots are not reduced.
int NS__TabDel(tabhandle_t* ha, const char* key, void** data);

// Calls enumfunc for every entry in ascending key order: 0, or the first
// non-zero result of enumfunc.
int NS__TabEnum(tabhandle_t* ha, tabEnumFunc_t enumfunc, void* priv);

int NS__TabGetNumberOfEntry(tabhandle_t* ha);

// Turns the table into the list of its keys in ascending order and destroys
// it, applying freefunc to every non-null data pointer when given. 0 (the
// caller owns list->val and every key string; {0, null} for an empty table),
// or 14 with the table untouched and still the caller's.
int NS__TabConvKeyList(tabhandle_t* ha, tabkeylist_t* list, tabFreeFunc_t freefunc);
