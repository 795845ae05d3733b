// The LAN Manager functions and the network enumeration the service relies on, under their
// Win32 names, answered from the machine's settings and from the domain directory file.
//
// Strings are UTF-8 `char*` where the original passes wide strings: on this platform the
// conversions between wide and multibyte text are copies, so the callers' conversions stay
// copies too.
//
// Domain directory: the file named by the setting "DomainDirectory" (default /etc/qor/domains).
// One record a line: `DOMAIN CONTROLLER` names a domain and its Primary Domain Controller,
// `NAME -` a workgroup; fields are separated by blanks, '#' starts a comment that runs to the
// end of the line, lines without exactly two fields are ignored; names compare ignoring ASCII
// letter case; the first record of a name counts. A missing file is an empty directory (every
// name is then a workgroup or unknown); a file that exists but cannot be read is a failure
// (ERROR_OPEN_FAILED).
//
// All functions are thread-safe and take no lock of the service.
#pragma once

#include <cstdint>

#include "platform/lasterror.h"  // ERROR_INVALID_HANDLE, ERROR_NOT_ENOUGH_MEMORY

using NET_API_STATUS = uint32_t;
using DWORD = uint32_t;
using LPBYTE = uint8_t*;
using HANDLE = void*;

// Result codes, Win32 numbers.
constexpr NET_API_STATUS NERR_Success = 0;
constexpr DWORD NO_ERROR = 0;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_OPEN_FAILED = 110;  // the domain directory file cannot be read
constexpr DWORD ERROR_INVALID_LEVEL = 124;
constexpr DWORD ERROR_MORE_DATA = 234;  // the buffer cannot hold even one record
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_BAD_PROVIDER = 1204;
constexpr NET_API_STATUS NERR_DCNotFound = 2453;  // a workgroup, or a name the directory lacks

// Workstation record, level 101.
constexpr DWORD PLATFORM_ID_NT = 500;
struct WKSTA_INFO_101 {
  DWORD wki101_platform_id;
  char* wki101_computername;  // setting "ComputerName", else gethostname()
  char* wki101_langroup;  // setting "LanGroup", else `workgroup =` of smb.conf, else "WORKGROUP"
  DWORD wki101_ver_major;
  DWORD wki101_ver_minor;
  char* wki101_lanroot;  // always ""
};

// `servername` must be null or empty (only the local machine is known); `level` must be 101.
// On NERR_Success `*bufptr` is a WKSTA_INFO_101 in one block that the caller frees with
// NetApiBufferFree. Otherwise `*bufptr` is null: ERROR_NOT_SUPPORTED (a remote server),
// ERROR_INVALID_LEVEL, ERROR_INVALID_PARAMETER (no bufptr), ERROR_NOT_ENOUGH_MEMORY.
NET_API_STATUS NetWkstaGetInfo(const char* servername, DWORD level, LPBYTE* bufptr);

// The Primary Domain Controller of `domainname` (null or empty: the machine's own LAN group),
// as "\\CONTROLLER" in a buffer the caller frees with NetApiBufferFree. NERR_DCNotFound for a
// workgroup or a name the directory does not hold; ERROR_OPEN_FAILED when the directory file
// cannot be read; ERROR_NOT_SUPPORTED for a non-empty `servername`; ERROR_NOT_ENOUGH_MEMORY.
// `*bufptr` is null on every failure.
NET_API_STATUS NetGetDCName(const char* servername, const char* domainname, LPBYTE* bufptr);

// Releases a buffer returned by the two functions above; null is accepted.
NET_API_STATUS NetApiBufferFree(void* buffer);

// Network enumeration.
constexpr DWORD RESOURCE_CONNECTED = 1;
constexpr DWORD RESOURCE_GLOBALNET = 2;
constexpr DWORD RESOURCE_REMEMBERED = 3;
constexpr DWORD RESOURCETYPE_ANY = 0;
constexpr DWORD RESOURCEDISPLAYTYPE_DOMAIN = 1;
constexpr DWORD RESOURCEUSAGE_CONTAINER = 2;
// The one provider there is: the domains of the domain directory.
constexpr const char* QOR_NETWORK_PROVIDER = "Microsoft Windows Network";

struct NETRESOURCEA {
  DWORD dwScope;
  DWORD dwType;
  DWORD dwDisplayType;
  DWORD dwUsage;
  char* lpLocalName;
  char* lpRemoteName;
  char* lpComment;
  char* lpProvider;
};

// Opens an enumeration of the domain directory's names (domains and workgroups), in file order,
// one record per directory line. `lpNetResource` is null (the network) or a container without a
// remote name whose provider, if given, is QOR_NETWORK_PROVIDER (else ERROR_BAD_PROVIDER);
// a container with a remote name has no enumerable content here (ERROR_NOT_SUPPORTED).
// RESOURCE_GLOBALNET enumerates the directory; RESOURCE_CONNECTED and RESOURCE_REMEMBERED give
// an empty enumeration (there are no connections); other scopes ERROR_INVALID_PARAMETER.
// The directory is read once, here: ERROR_OPEN_FAILED when it cannot be read,
// ERROR_NOT_ENOUGH_MEMORY. On NO_ERROR `*lphEnum` must be closed with WNetCloseEnum.
DWORD WNetOpenEnumA(DWORD dwScope, DWORD dwType, DWORD dwUsage, const NETRESOURCEA* lpNetResource,
                    HANDLE* lphEnum);

// Copies up to `*lpcCount` records (0xFFFFFFFF: as many as fit) into `lpBuffer`: an array of
// NETRESOURCEA followed by the strings they point to, all within `*lpBufferSize` bytes.
// NO_ERROR with `*lpcCount` set to the number copied; ERROR_NO_MORE_ITEMS (259) when no record
// is left; ERROR_MORE_DATA with `*lpBufferSize` set to the size one record needs;
// ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER. A handle is used by one thread at a time.
DWORD WNetEnumResourceA(HANDLE hEnum, DWORD* lpcCount, void* lpBuffer, DWORD* lpBufferSize);

// Ends the enumeration and frees the handle. ERROR_INVALID_HANDLE for null.
DWORD WNetCloseEnum(HANDLE hEnum);

// The `workgroup =` parameter of the [global] section of a Samba configuration file, as a new
// string (qor_malloc, the caller frees it), or null when the file or the parameter is missing or
// memory is short. NetWkstaGetInfo reads /etc/samba/smb.conf with it.
char* qor_smb_workgroup(const char* path);
