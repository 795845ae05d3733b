// Object records: the identity of an object, lists of identities, string
// bindings and a server's registration, with the class numbers and names and
// the deep-copy and release operations. The same records are held by the class
// stores, written to the recovery files and carried over the remote interface.
//
// Ownership: every string and array reachable from a record is a separate heap
// block (platform/memory.h) owned by that record. The release operations free
// what a record points to, never the record, and do not reset its members.
// A list whose len is 0 is empty whatever its val holds.
#pragma once

#include <cstdint>

// Class numbers. The name is the only form of a class in the recovery files.
constexpr int NS_CLASS_LP = 0;       // "lp", printer class
constexpr int NS_CLASS_PP = 1;       // "pp", printer class
constexpr int NS_CLASS_ANYPRN = 2;   // "any-prn": "lp" or "pp"
constexpr int NS_CLASS_SPOOLER = 3;  // "spooler", server class
constexpr int NS_CLASS_SUPERV = 4;   // "superv", server class
constexpr int NS_CLASS_ANYSVR = 5;   // "any-svr": "spooler" or "superv"
constexpr int NS_CLASS_QUEUE = 6;    // "queue"
constexpr int NS_CLASS_NTFY = 7;     // "ntfy", server class outside "any-svr"
constexpr int NS_CLASS_GROUP = 8;    // "group", member list
constexpr int NS_CLASS_BACKUP = 9;   // "backup", member list
constexpr int NS_CLASS_NONE = 10;    // "none": a result that names no object
constexpr int NS_CLASS_COUNT = 11;

struct qorobjid {
  int32_t nsclass;
  char* name;    // may be null
  char* domain;  // may be null: the service's own domain
};

struct qorobjects {
  int32_t len;
  qorobjid* val;
};

struct rpcbinding {
  int32_t len;
  char** val;  // string bindings, protocol sequence first
};

struct qor_serverinfo {
  rpcbinding binding;
  char* host;  // may be null
  int32_t support_auth;
};

struct domainlist {
  int32_t len;
  char** val;
};

// 0 and the number in *nsclass; 5 if buf is no class name (*nsclass unchanged).
// Compares with letter case: "Queue" and " queue" are no class names.
int NS__StrToClass(const char* buf, int* nsclass);
// The class name (a constant), or null for a number outside 0 to 10.
const char* NS__ClassToStr(int nsclass);

// Deep copies: dest gets its own duplicate of every string and array of src;
// what dest held before is not freed. 0, or 14 with dest left empty.
int NS__copy_qorobjid(qorobjid* dest, const qorobjid* src);
int NS__copy_qorobjects(qorobjects* dest, const qorobjects* src);
int NS__copy_rpcbinding(rpcbinding* dest, const rpcbinding* src);
int NS__copy_qor_serverinfo(qor_serverinfo* dest, const qor_serverinfo* src);

void NS__free_qorobjid(qorobjid* obj);
void NS__free_qorobjects(qorobjects* obj);
void NS__free_rpcbinding(rpcbinding* obj);
void NS__free_qor_serverinfo(qor_serverinfo* obj);
