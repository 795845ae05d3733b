// IPv4 host lookups, thread-safe (glibc's gethostbyname and gethostbyaddr are not, and are never
// called). A lookup first consults the hosts file named by the setting "HostsFile" (/etc/hosts
// format; no default): when that file names the host, or the address for a reverse lookup, its
// answer is the whole answer, the canonical name and every address listed for that name, in file
// order. Otherwise the system resolver answers (getaddrinfo, getnameinfo). A hosts file that
// cannot be read names nothing.
//
// Results carry Windows Sockets numbers, so that a caller can report them as the platform's
// socket error.
#pragma once

#include <netinet/in.h>

#include <cstdint>

constexpr int QOR_HOST_OK = 0;
constexpr int WSA_NOT_ENOUGH_MEMORY = 8;
constexpr int WSAEINVAL = 10022;          // no name given
constexpr int WSAHOST_NOT_FOUND = 11001;  // the host (or address) is unknown: it does not resolve
constexpr int WSATRY_AGAIN = 11002;       // the resolver could not be reached; may work later
constexpr int WSANO_RECOVERY = 11003;     // the resolver failed
constexpr int WSANO_DATA = 11004;         // the name is known but has no IPv4 address

// At most this many addresses are returned for one host; further ones are dropped.
constexpr uint32_t QOR_HOST_MAX_ADDRS = 64;

// A host entry: the canonical name and every IPv4 address of the host, each 4 bytes in network
// order. `addrtype` is always AF_INET and `length` 4; `naddrs` is at least 1. One block: release
// it with qor_host_free.
struct qor_hostent {
  char* name;
  int addrtype;
  int length;
  uint32_t naddrs;
  struct in_addr* addrs;
};

// Looks a host name up; an empty name is this machine's host name. On QOR_HOST_OK `*out` is the
// entry, otherwise null; statuses WSAHOST_NOT_FOUND, WSANO_DATA, WSATRY_AGAIN, WSANO_RECOVERY,
// WSA_NOT_ENOUGH_MEMORY, WSAEINVAL (null name).
// Host names compare ignoring ASCII letter case in the hosts file, as the resolver does.
int qor_host_by_name(const char* name, qor_hostent** out);

// Looks an address up: the name of the host that has it and every address of that host (the
// address asked for first when the answer comes from the resolver). Statuses as above;
// WSAHOST_NOT_FOUND when no name is known for the address.
int qor_host_by_addr(struct in_addr addr, qor_hostent** out);

// Releases an entry; null is accepted.
void qor_host_free(qor_hostent* entry);

// The `inet_addr` test: true when `text` is a dotted IPv4 literal ("a.b.c.d", or the shorter
// classic forms "a.b.c", "a.b", "a" with decimal, octal or 0x parts) and nothing else, with the
// address in `*out` (may be null). Unlike inet_addr, "255.255.255.255" counts as a literal.
bool qor_inet_addr(const char* text, struct in_addr* out);

// Dotted-decimal text of an address into `buf` (at least 16 bytes); returns `buf`.
char* qor_inet_ntoa(struct in_addr addr, char* buf);
