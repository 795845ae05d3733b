// The registry front and the class table: the single entry to the name
// registry. It builds every class store at start-up from its recovery files,
// routes each request by class number to its store, resolves the family
// classes "any-prn" and "any-svr" in lookups and listings, and keeps one name
// space per family when an object is created. It also owns the rewrite of a
// class's recovery file and the choice of the file to start from.
//
// Recovery files, one set per class with a store, in the data directory:
//   <class>.dat  the current file, loaded at start-up
//   <class>.new  the complete next file, between being written and replacing .dat
//   <class>.tmp  the file being written; never loaded
// Layout (LF line ends; a reader also accepts CRLF):
//   # V1.11:recovery file for <class>
//   # last modified <ctime text>
//   <blank>
//   <blank>
//   then per object, in ascending name order:
//   # <own domain>\<name>(<class>)
//   <name>
//   <own domain>
//   <record lines: qor_serverinfo, qorobjid or qorobjects as the class keeps>
//   <blank>
#pragma once

#include "registry/objutil.h"

#include <cstdio>

struct rwhandle;
struct nameobj;

typedef int (*initFunc_t)(nameobj* tab);
typedef void (*termFunc_t)(nameobj* tab);
typedef int (*createFunc_t)(nameobj* tab, qorobjid* obj, qorobjid* assoc, int force,
                            qor_serverinfo* svinfo, qorobjects* mbr, int* created);
typedef int (*deleteFunc_t)(nameobj* tab, qorobjid* obj);
typedef int (*listFunc_t)(nameobj* tab, qorobjid* obj, qorobjects* objs);
typedef int (*getFunc_t)(nameobj* tab, qorobjid* obj, qorobjid* server, rpcbinding* binding,
                         int* supportauth);
typedef int (*gethostFunc_t)(nameobj* tab, qorobjid* obj, char** host);
typedef int (*listdomFunc_t)(nameobj* tab, void* arg);

// The operation table of one kind of store; every slot receives the class's
// nameobj and keys on obj's name only. listdom is null in every table and
// never called.
//
// Locking: init and term run while no request thread exists (term under the
// front's write hold). Every other slot takes NS__objlock itself, for writing
// around create and delete (table change and recovery-file rewrite), for
// reading around get, gethost and list, so the caller must not hold it; a
// store follows an association only after giving its hold back. When the lock
// cannot be taken or given back, the slot asks the service to stop and
// answers the lock's status.
//
// Out-parameters arrive empty from the front; on success they belong to the
// caller (registry/objutil.h releases them, host with qor_free), and after a
// failure they hold nothing to release.
struct nameobj_callback {
  // Builds priv and loads it from the recovery files: 0, or the table's 14 or
  // a recovery status (priv then null, nothing allocated).
  initFunc_t init;
  termFunc_t term;  // destroys priv and sets it to null
  // NS__CreateObj has checked the record already (storable strings, a class
  // in the table for a target); the store still refuses a server without a
  // host or bindings and an association without a named target (11). On
  // failure the store frees its copy of the record unless *created is 1.
  createFunc_t createobj;
  deleteFunc_t deleteobj;  // 15 when the name is not registered
  listFunc_t listobj;
  getFunc_t getobj;  // 15 when the name is not registered
  gethostFunc_t gethost;
  listdomFunc_t listdom;
};

// The descriptor of one class; slot n of the class table describes class n.
struct nameobj {
  int nsclass;                 // the class number (`class` is a C++ keyword)
  const char* name;            // class name
  const nameobj_callback* cb;  // null for "any-prn", "any-svr", "none"
  void* priv;                  // the store's sorted key table, or null
  char* datafile;              // recovery file set, owned by the front;
  char* newfile;               // null for a class without a store and
  char* tmpfile;               // while the registry is not built
};

// The registry's reader/writer lock; null while the registry is not built.
// Writers hold it across a table change and the recovery-file rewrite.
extern rwhandle* NS__objlock;
// The own domain or workgroup: set once by the start-up sequence before the
// registry is built, read everywhere afterwards. Every identity a store builds
// carries it, and it is the default domain of associations and members.
extern char* NS__ms_domain;

// Builds the lock, creates the data directory (one level) and builds every
// class store from its recovery files in class order. 0; 19 for a null path,
// NS__ms_domain not set, or a directory that cannot be created; 14; the
// lock's status; or a store's (recovery) status. After a failure nothing
// stays built and NS__objlock is null. Runs before any request thread exists;
// the registry must not be built already.
int NS__InitNameObj(const char* datapath);
// Destroys every store and the lock, under the write hold. 0; 13 if not
// built; the lock's status (then nothing is released). No request may be
// running or arrive.
int NS__TermNameObj();

// Every entry below takes no lock itself; each store operation takes
// NS__objlock. The caller must not hold NS__objlock. Outputs are set empty on
// entry, belong to the caller afterwards (release with the operations of
// registry/objutil.h, host with qor_free) and are empty again after a failure.
// Besides the statuses named, each may answer 13 (registry not built), 10 (null
// obj, or no name where one is needed) and the lock's status.

// Registers obj. Only obj's class and name steer the front; assoc (association
// classes), svinfo (server classes) and mbr (member-list classes) go to the
// store. 0; 5 class not served; 11 missing data or a string that a recovery
// file cannot carry (empty, leading '#', CR or LF, invalid UTF-8) or a null
// binding; 14; 16 name held by the other class of the family without force or
// refused by the overwrite rule; 17; 19; a recovery-file write status.
// *created is 1 only when the call failed and the table kept the new record.
int NS__CreateObj(qorobjid* obj, qorobjid* assoc, int force, qor_serverinfo* svinfo,
                  qorobjects* mbr, int* created);
// 0; 5; 15; a recovery-file write status: the object then stays registered,
// unless it could not be put back into its table either (event 0x80000009):
// then it is gone from memory until the next start loads it again.
int NS__DeleteObj(qorobjid* obj);
// Looks obj up; family classes try their members in order. On success
// *objclass is the class found; on failure server = {10, null, null}, binding
// empty, *objclass 10. 0; 5; 14; 15; 17 (association target missing, or more
// than 16 associations followed).
int NS__GetObj(qorobjid* obj, qorobjid* server, rpcbinding* binding, int* supportauth,
               int* objclass);
// Lists a class (family classes: both members, joined). 0; 5; 14; 15.
int NS__ListObj(qorobjid* obj, qorobjects* objs);
// 0 with a copy of the host; 5 (family classes too); 11 member lists; 14; 15; 17.
int NS__GetHost(qorobjid* obj, char** host);

// Recovery-file rewrite of one class: writes .tmp (header, then writefunc),
// flushes and syncs it, renames it to .new, removes .dat, renames .new to .dat
// and syncs the directory. 0; 19 for a failed file operation (a failed close
// wins over writefunc's status); writefunc's status. On failure .dat is as before, except when the
// last rename fails: the new content then waits in .new and is loaded at the next start. REQUIRES:
// NS__objlock held for writing.
typedef int (*writeFunc_t)(nameobj* tab, FILE* fp, void* arg);
int NS__WriteObject(nameobj* tab, writeFunc_t writefunc, void* arg);
// Chooses the file to start from: removes .tmp; keeps .dat over .new; else
// renames .new to .dat. 0; 19 if that rename fails, or if .dat cannot be
// looked at for a reason other than its absence (a .new must not replace a
// .dat that may exist). Start-up only; takes no lock.
int NS__RecoverFile(nameobj* tab);
