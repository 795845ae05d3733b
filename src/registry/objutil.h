// Object records: the identity of an object, lists of identities, string
// bindings and a server's registration, with the class numbers and names and
// the deep-copy and release operations. The same records are held by the class
// stores, written to the recovery files and carried over the remote interface.
// Also their text form, and the overwrite rules that decide whether a record
// may replace the current one of the same class and name.
//
// Ownership: every string and array reachable from a record is a separate heap
// block (platform/memory.h) owned by that record. The release operations free
// what a record points to, never the record, and do not reset its members.
// A list whose len is 0 is empty whatever its val holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

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
// A list with a negative len, or a binding list with a null string, cannot be
// copied: 11 with dest empty.
int NS__copy_qorobjid(qorobjid* dest, const qorobjid* src);
int NS__copy_qorobjects(qorobjects* dest, const qorobjects* src);
int NS__copy_rpcbinding(rpcbinding* dest, const rpcbinding* src);
int NS__copy_qor_serverinfo(qor_serverinfo* dest, const qor_serverinfo* src);

void NS__free_qorobjid(qorobjid* obj);
void NS__free_qorobjects(qorobjects* obj);
void NS__free_rpcbinding(rpcbinding* obj);
void NS__free_qor_serverinfo(qor_serverinfo* obj);

// ---- Text form: one value per line, LF line ends (CRLF accepted) ----
//
// qorobjid:       class name / name / domain
// qorobjects:     len (>= 1) / len identities of three lines each
// rpcbinding:     len (>= 1) / len string bindings, one a line
// qor_serverinfo: binding as an rpcbinding / host / support_auth
// Numbers are decimal; strings are written as they are, unquoted. A line
// starting with '#' and an empty line carry nothing: readers skip them
// wherever they stand, so a string that is empty, starts with '#' or holds a
// line end (CR or LF) does not survive the text form (see NS__text_storable).
//
// Line buffer: the readers share the caller's growable buffer, a heap block
// (memory.h) in *buf of *size bytes; *size 0 means none yet. It survives every
// failure, keeps its largest size, and the caller frees it after the file.

// Reads the next line that is neither empty nor a comment, whole and without
// its line end, into *buf. A last line without a line end is still a line.
// 0; 12 at the end of the file; 14 (buffer unchanged); 19 on a read error or a
// line holding a NUL byte.
int NS__ReadLine(char** buf, size_t* size, FILE* fp);

// Writers: check the record and return the check's status without writing;
// otherwise write its lines through the file hook (platform/fileops.h) and
// return 19 if a write failed or the stream's error indicator is set, else 0.
// write_qorobjid: 5 no class number, 10 no name, 7 no domain.
int NS__write_qorobjid(FILE* fp, const qorobjid* obj);
// 11 if empty; otherwise the count, then each member: the first member that
// fails stops the writer with its status, the lines before it stay written.
int NS__write_qorobjects(FILE* fp, const qorobjects* objs);
// 11 if empty or a string is null.
int NS__write_rpcbinding(FILE* fp, const rpcbinding* binding);
// 11 if host is null, then the binding's status.
int NS__write_qor_serverinfo(FILE* fp, const qor_serverinfo* info);

// Readers: fill the record (set empty on entry) from the next lines of fp.
// On failure the record holds nothing to free. On success the caller owns it
// and releases it with its NS__free_ operation.
// read_qorobjid: 0, 5 (class line no class name), 12, 14, 19; nsclass 10 on failure.
int NS__read_qorobjid(FILE* fp, char** buf, size_t* size, qorobjid* obj);
// 0; the count line's 12/14/19, or 19 for a count that is not a positive
// number; or the first failing member's 5/12/14/19. The array grows as members
// arrive, so a count larger than the file holds allocates no more than it holds.
int NS__read_qorobjects(FILE* fp, char** buf, size_t* size, qorobjects* objs);
// 0; the count line's 12/14/19, or 19 for a bad count; 14 for any failure
// inside the entry lines (a list ending early included).
int NS__read_rpcbinding(FILE* fp, char** buf, size_t* size, rpcbinding* binding);
// 0, or the binding's status, or 12/14/19 for the host and support_auth lines.
// A support_auth line that is not a number reads as 0.
int NS__read_qor_serverinfo(FILE* fp, char** buf, size_t* size, qor_serverinfo* info);

// True if `s` survives the text form unchanged: not null, not empty, not
// starting with '#', holding no CR or LF. For the registry to refuse values
// that its recovery file could not give back.
bool NS__text_storable(const char* s);

// ---- Overwrite rules ----
//
// Whether a registration may replace the current record of the same class and
// name when the caller did not force it. Each stores 1 in *canov if newent may
// replace curent, 0 if not, and returns 0; on any other status *canov is left
// as it was. Neither record is changed or kept. They take no lock: the store
// calls them under NS__objlock held for writing.

// Server: the hosts must be equal ignoring ASCII letter case. Then the first
// "ncacn_ip_tcp"/"ncacn_ip_udp" binding of each record is resolved to every
// address of its host (a literal through its reverse entry, a name through its
// addresses; hosts file first, platform/hostlookup.h). If either record has no
// such binding, equal hosts decide (1); otherwise 1 only if the two address
// lists share an address. 0; 14 memory; 19 a binding's host or address does
// not resolve. The lookups may wait on the resolver.
int NS__can_overwrite_server(const qor_serverinfo* newent, const qor_serverinfo* curent,
                             int* canov);
// Association: 1 only for the same target: equal class, name with letter case
// (_mbscmp), domain ignoring it (_mbsicmp). Always returns 0.
int NS__can_overwrite_svassoc(const qorobjid* newent, const qorobjid* curent, int* canov);
// Member list: never (0): a group or backup set is replaced only with force.
// Always returns 0.
int NS__can_overwrite_group(const qorobjects* newent, const qorobjects* curent, int* canov);
