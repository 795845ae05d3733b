// The wire form of the object records as ns_qor_if carries them, shared by
// the server stubs (qor_s) and the client halves (qor_c). Each record type is
// an ndr_type: a flat pass for the record and a deferred pass for the strings
// and arrays it points to, so that a list of identities travels as all its
// 12-byte records first and then their strings, element by element.
//
// Decoding refuses, besides what the NDR reader refuses: a negative count, a
// count without its array or an array whose maximum count differs from the
// count (NCA_S_FAULT_INVALID_BOUND). A count of 0 with an array of maximum
// count 0 is accepted and gives a null array. Encoding refuses the same
// counts; a count of 0 travels as a null array whatever val holds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/rpc/ndr.h"
#include "registry/objutil.h"

extern const ndr_type QOR_NDR_QOROBJID;
extern const ndr_type QOR_NDR_QOROBJECTS;
extern const ndr_type QOR_NDR_RPCBINDING;
extern const ndr_type QOR_NDR_SERVERINFO;
extern const ndr_type QOR_NDR_DOMAINLIST;

// A reader whose blocks come from NS__MIDL_user_allocate and go back with
// NS__MIDL_user_free, as the interface's memory rules want.
void qor_ndr_reader_init(ndr_reader* r, const uint8_t* in, size_t len);

// A top-level [out] string behind a unique pointer: its referent id, then at
// once the string when the id is not 0.
void qor_ndr_put_out_string(ndr_writer* w, const char* s);
bool qor_ndr_get_out_string(ndr_reader* r, char** s);

// Release of what a manager put into the stub's out records: the records'
// NS__free_ operations (their qor_free is what NS__MIDL_user_free does), so a
// count of 0 leaves the array alone and null strings are skipped; a null array
// under a non-zero count is tolerated as well.
void qor_ndr_free_qorobjid(qorobjid* obj);
void qor_ndr_free_qorobjects(qorobjects* obj);
void qor_ndr_free_strings(int32_t len, char** val);
