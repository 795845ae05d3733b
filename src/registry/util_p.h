// Generic store operations: the insert-or-replace, delete and listing that
// every class store shares, the loading of a class's recovery file at start-up
// and the writing of its entries. The overwrite rules that a store names in
// its checkov are in registry/objutil.h.
#pragma once

#include "registry/nameobj.h"
#include "registry/objutil.h"

#include <cstddef>
#include <cstdio>

// Describes one record kind to the generic operations. A record in a table is
// one heap block of entsize bytes owned by the table: freeent, then qor_free.
struct putil_callback {
  unsigned int entsize;  // size of one in-memory record
  // Fills a zeroed record from the record's text lines (the line buffer stays
  // the caller's): 0, or 5/12/14/19 with nothing in the record to release.
  int (*readent)(FILE* fp, char** buf, size_t* size, void* ent);
  // Writes the record's text lines: 0, a check's 5/7/10/11, or 19.
  int (*writeent)(FILE* fp, const void* ent);
  void (*freeent)(void* ent);  // releases the members, not the record
  // Stores 1 in *canov when newent may replace curent, else 0; returns 0, or
  // a status when the rule could not be decided.
  int (*checkov)(const void* newent, const void* curent, int* canov);
};

// Inserts newent under obj's name, or replaces the current record when force
// is set or the class's rule allows it, and writes the class's recovery file
// through; the table is rolled back when that write fails. On success the
// table owns newent. On failure newent stays the caller's unless *created is 1
// (the rollback failed; logged as 0x80000008/0x80000009). 0; 14; 16; the
// rule's status; the write's status.
// REQUIRES: NS__objlock held for writing.
int NS__putil_createobj(const putil_callback* funcs, nameobj* tab, const qorobjid* obj,
                        void* newent, int force, int* created);
// Removes obj's name and writes the file through; the record is put back when
// the write fails. 0; 15; the write's status. If the record cannot be put
// back it is released and 0x80000009 logged: gone from memory, still on file.
// REQUIRES: NS__objlock held for writing.
int NS__putil_deleteobj(const putil_callback* funcs, nameobj* tab, const qorobjid* obj);
// objs = one {class, name, NS__ms_domain} per registered name, in name order;
// set empty on entry, the caller's afterwards (NS__free_qorobjects). 0 or 14
// (objs then empty). REQUIRES: NS__objlock held (reading is enough).
int NS__putil_listobj(nameobj* tab, qorobjects* objs);

// Writes every entry of the class in name order (writeFunc_t of
// NS__WriteObject; priv is the store's putil_callback). 0, 19 or the record
// writer's status, which stops the writing at once.
// REQUIRES: NS__objlock held for writing (it runs inside NS__WriteObject).
int NS__putil_saveobj(nameobj* obj, FILE* fp, void* priv);
// Loads the class's .dat into its (empty) table, which owns every record
// added. 0 (also when there is no file); 1 the file ends after a name line; 5,
// 12, 14, 19 from the record reader or the file. A duplicate name keeps the
// first entry and logs warning 0x80000007. On failure the records already
// added stay in the table for the store's init to destroy. Start-up only;
// takes no lock.
int NS__putil_recovery(const putil_callback* funcs, nameobj* tab);

// A store's init: creates the class's empty table in tab->priv (names compared
// with letter case), chooses the recovery file to start from and loads it. On
// failure the table and every record loaded so far are released with
// `freerec` (which frees a record's members and its block) and tab->priv is
// null again. 0, or the status of the table, the file choice or the load.
// Start-up only; takes no lock.
int NS__putil_init(const putil_callback* funcs, nameobj* tab, void (*freerec)(void*));
// A store's term: destroys the table and its records with `freerec`.
// REQUIRES: no other thread uses the store (NS__TermNameObj holds the write lock).
void NS__putil_term(nameobj* tab, void (*freerec)(void*));

// Store-side helpers for NS__objlock. The lock helpers take it for reading or
// writing (the caller must not hold it): 0, or the lock's status after asking
// the service to stop (NS__qor_stop). NS__putil_unlock gives back the caller's
// hold and returns `status`, the operation's result, or the lock's status
// (after NS__qor_stop) if the lock cannot be given back: a store answers the
// lock's status whenever the lock failed it.
int NS__putil_rlock();
int NS__putil_wlock();
int NS__putil_unlock(int status);
