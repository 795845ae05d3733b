// The RPC runtime's statuses, by their Win32 names and numbers. These are what
// the runtime's calls return and what a failed remote call raises.
#pragma once

#include <cstdint>

constexpr int RPC_S_OK = 0;
constexpr int RPC_S_ACCESS_DENIED = 5;
constexpr int ERROR_INVALID_HANDLE = 6;  // a context handle the server does not know
constexpr int RPC_S_OUT_OF_MEMORY = 14;
constexpr int RPC_S_INVALID_ARG = 87;
constexpr int RPC_S_INVALID_STRING_BINDING = 1700;
constexpr int RPC_S_INVALID_BINDING = 1702;
constexpr int RPC_S_PROTSEQ_NOT_SUPPORTED = 1703;
constexpr int RPC_S_INVALID_RPC_PROTSEQ = 1704;
constexpr int RPC_S_INVALID_STRING_UUID = 1705;
constexpr int RPC_S_INVALID_ENDPOINT_FORMAT = 1706;
constexpr int RPC_S_INVALID_NET_ADDR = 1707;
constexpr int RPC_S_NO_PROTSEQS_REGISTERED = 1714;
constexpr int RPC_S_NOT_LISTENING = 1715;
constexpr int RPC_S_UNKNOWN_IF = 1717;
constexpr int RPC_S_NO_BINDINGS = 1718;
constexpr int RPC_S_CANT_CREATE_ENDPOINT = 1720;
constexpr int RPC_S_SERVER_UNAVAILABLE = 1722;
constexpr int RPC_S_SERVER_TOO_BUSY = 1723;
constexpr int RPC_S_CALL_FAILED = 1726;
constexpr int RPC_S_CALL_FAILED_DNE = 1727;
constexpr int RPC_S_PROTOCOL_ERROR = 1728;
constexpr int RPC_S_UNSUPPORTED_TRANS_SYN = 1730;
constexpr int RPC_S_UNSUPPORTED_TYPE = 1732;
constexpr int RPC_S_INVALID_BOUND = 1734;
constexpr int RPC_S_PROCNUM_OUT_OF_RANGE = 1745;
constexpr int RPC_S_UNKNOWN_AUTHN_SERVICE = 1747;
constexpr int EPT_S_INVALID_ENTRY = 1751;
constexpr int EPT_S_CANT_PERFORM_OP = 1752;
constexpr int EPT_S_NOT_REGISTERED = 1753;
constexpr int RPC_S_ENTRY_NOT_FOUND = 1761;
constexpr int RPC_S_NAME_SERVICE_UNAVAILABLE = 1762;
constexpr int RPC_S_CANNOT_SUPPORT = 1764;
constexpr int RPC_S_INTERNAL_ERROR = 1766;
constexpr int RPC_X_ENUM_VALUE_OUT_OF_RANGE = 1781;
constexpr int RPC_X_BAD_STUB_DATA = 1783;
constexpr int RPC_S_NO_MORE_BINDINGS = 1806;
constexpr int RPC_S_CALL_CANCELLED = 1818;
constexpr int RPC_S_COMM_FAILURE = 1820;
constexpr int ERROR_NOT_ENOUGH_SERVER_MEMORY = 1130;
