// NDR 2.0 (little-endian, ASCII, IEEE) encoder and decoder for stub data.
//
// Alignment is counted from the stub origin, the first byte of the request or
// reply stub. Pointers follow DCE rules: a unique pointer travels as a 4-byte
// referent id (0 for null); the referents of the pointers embedded in a record
// or array follow the whole record or array, depth first, in the order the
// pointers were met. A record type with embedded pointers is described by an
// `ndr_type`: a "flat" pass that writes or reads the record itself (pointers
// as ids) and a "deferred" pass that writes or reads its referents. A stub
// marshals one top-level parameter as flat pass, then deferred pass.
//
// Encoding:
//   std::vector<uint8_t> out;
//   ndr_writer w;
//   ndr_writer_init(&w, &out);
//   ndr_put_u32(&w, obj->len);
//   ndr_put_ptr_id(&w, obj->len ? obj->val : nullptr);
//   ... deferred referents ...
//   if (w.status != 0) -> NCA status of the first failure
// Every put is a no-op once w.status is set, so a sequence of puts is checked
// once at its end.
//
// Decoding:
//   ndr_reader r;
//   ndr_reader_init(&r, data, len);
//   if (!ndr_get_u32(&r, &v) || ...) { ndr_reader_release(&r); -> r.status }
//   ndr_reader_commit(&r);   // the blocks now belong to the records
// Every get returns false once r.status is set. The reader keeps a journal of
// every block it allocated; ndr_reader_release frees them all (a failed
// decode, or in-parameters after the call), ndr_reader_commit hands them over
// to the records. Until commit or release the records being filled may hold
// placeholder pointers (see ndr_get_unique): after a failure they must be
// zeroed, never freed member by member.
//
// Counts and lengths are checked against the bytes left BEFORE anything is
// allocated: n elements need at least n times the type's wire size. Total
// allocation and nesting depth are bounded (fields of the reader).
//
// Statuses (NCA fault statuses of rpc_types.h):
//   NCA_S_FAULT_NDR              data ends early, a string without its zero or with an
//                                offset, a referent id where none may stand, too deep
//   NCA_S_FAULT_ENUM_VALUE_OUT_OF_RANGE
//                                an enumeration value outside 0..32767 (1781)
//   NCA_S_FAULT_INVALID_BOUND    a count that contradicts its size field, a negative
//                                count, actual count above maximum count
//   NCA_S_FAULT_REMOTE_NO_MEMORY allocation failed or the reader's total limit was reached
//
// Not thread-safe per object; separate writers and readers are independent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/rpc/rpc_types.h"

// Deepest nesting of pointer referents and arrays a reader or writer follows.
constexpr unsigned NDR_MAX_DEPTH = 32;
// Default cap on the bytes one reader allocates; a request is far smaller.
constexpr size_t NDR_MAX_ALLOC = 16u << 20;

// ---------------------------------------------------------------- encoder

struct ndr_writer {
  std::vector<uint8_t>* out;  // stub bytes are appended here
  size_t origin;              // index in *out of the stub origin
  uint32_t next_ref_id;       // referent ids 0x00020000, 0x00020004, ...
  uint32_t status;            // 0, or the NCA status of the first failure
  unsigned depth;
};

// Starts a stub at the current end of *out.
void ndr_writer_init(ndr_writer* w, std::vector<uint8_t>* out);

void ndr_align(ndr_writer* w, size_t alignment);  // 1, 2, 4 or 8; pads with zeros
void ndr_put_u8(ndr_writer* w, uint8_t v);
void ndr_put_u16(ndr_writer* w, uint16_t v);  // aligned to 2
void ndr_put_u32(ndr_writer* w, uint32_t v);  // aligned to 4
void ndr_put_i32(ndr_writer* w, int32_t v);   // aligned to 4
// A 16-bit enumeration (aligned to 2); a value outside 0..32767 fails
// (NCA_S_FAULT_ENUM_VALUE_OUT_OF_RANGE).
void ndr_put_enum16(ndr_writer* w, int v);
void ndr_put_bytes(ndr_writer* w, const void* data, size_t n);  // no alignment
void ndr_put_uuid(ndr_writer* w, const rpc_uuid& uuid);         // aligned to 4
// Fails the writer with `status` (for a caller's own checks, e.g. a null [ref]).
void ndr_writer_fail(ndr_writer* w, uint32_t status);

// The referent id of a unique pointer: 0 for null, else the next id.
void ndr_put_ptr_id(ndr_writer* w, const void* p);
// A conformant varying string of 8-bit characters: maximum count, offset 0,
// actual count (both counting the terminating zero), then the bytes.
// A null `s` fails (NCA_S_FAULT_NDR): a string position behind a [ref] pointer.
void ndr_put_string(ndr_writer* w, const char* s);

// ---------------------------------------------------------------- decoder

struct ndr_reader {
  const uint8_t* data;  // stub origin
  size_t len;
  size_t pos;
  uint32_t status;  // 0, or the NCA status of the first failure
  unsigned depth;
  unsigned max_depth;      // NDR_MAX_DEPTH unless changed after init
  size_t alloc_total;      // bytes allocated so far
  size_t alloc_limit;      // NDR_MAX_ALLOC unless changed after init
  void* (*alloc)(size_t);  // qor_malloc unless changed after init
  void (*dealloc)(void*);  // qor_free unless changed after init
  // Journal of allocated blocks: a few inline, more in a grown block.
  void* inline_blocks[16];
  void** blocks;
  size_t nblocks;
  size_t cap;
};

void ndr_reader_init(ndr_reader* r, const uint8_t* data, size_t len);
// Frees every block this reader allocated and forgets them.
void ndr_reader_release(ndr_reader* r);
// Forgets the journal: the blocks belong to the records they were read into.
void ndr_reader_commit(ndr_reader* r);
// Fails the reader with `status` (for a caller's own checks); returns false.
bool ndr_reader_fail(ndr_reader* r, uint32_t status);
size_t ndr_remaining(const ndr_reader* r);

bool ndr_get_align(ndr_reader* r, size_t alignment);  // skips pad bytes, never checks them
bool ndr_get_u8(ndr_reader* r, uint8_t* v);
bool ndr_get_u16(ndr_reader* r, uint16_t* v);
bool ndr_get_u32(ndr_reader* r, uint32_t* v);
bool ndr_get_i32(ndr_reader* r, int32_t* v);
bool ndr_get_enum16(ndr_reader* r, int* v);  // refuses values above 32767
bool ndr_get_bytes(ndr_reader* r, void* out, size_t n);
bool ndr_get_uuid(ndr_reader* r, rpc_uuid* uuid);

// Allocates n bytes through the reader (journaled, counted against alloc_limit).
void* ndr_alloc(ndr_reader* r, size_t n);

// What a referent id may be at a position.
enum ndr_ptr_kind {
  NDR_PTR_UNIQUE,  // 0 (null) or any other value
  NDR_PTR_REF,     // embedded [ref]: must not be 0
  NDR_PTR_NULL,    // a position that must be null: must be 0
};
// Reads a referent id; *present tells whether a referent follows (deferred).
bool ndr_get_ptr_id(ndr_reader* r, ndr_ptr_kind kind, bool* present);

// Placeholder that the flat pass leaves in a pointer whose referent is still
// to come; the deferred pass tests for it with ndr_pending and replaces it.
void* ndr_pending_marker();
template <typename T>
bool ndr_get_unique(ndr_reader* r, T** field) {
  bool present = false;
  if (!ndr_get_ptr_id(r, NDR_PTR_UNIQUE, &present)) return false;
  *field = present ? static_cast<T*>(ndr_pending_marker()) : nullptr;
  return true;
}
template <typename T>
bool ndr_pending(const T* p) {
  return p != nullptr && static_cast<const void*>(p) == ndr_pending_marker();
}

// A conformant varying string into a new block: requires offset 0,
// 1 <= actual <= maximum <= the bytes left after the counts, a zero as last
// byte and none before it. Only `actual` bytes are allocated.
bool ndr_get_string(ndr_reader* r, char** s);

// Enters one level of nesting (false and NCA_S_FAULT_NDR beyond max_depth).
bool ndr_enter(ndr_reader* r);
void ndr_leave(ndr_reader* r);

// ---------------------------------------------------------------- types

// A record type with embedded pointers. `put_flat`/`get_flat` handle the
// record itself (aligning first), `put_deferred`/`get_deferred` the referents
// of its pointers. get_flat receives zeroed memory.
struct ndr_type {
  size_t mem_size;   // sizeof the C record
  size_t wire_size;  // the fewest bytes one record takes on the wire
  void (*put_flat)(ndr_writer* w, const void* elem);
  void (*put_deferred)(ndr_writer* w, const void* elem);
  bool (*get_flat)(ndr_reader* r, void* elem);
  bool (*get_deferred)(ndr_reader* r, void* elem);
};

// A unique pointer to a string, as an element of an array (the element is a char*).
extern const ndr_type NDR_UNIQUE_STRING;

// A conformant array: maximum count n, the n records, then their referents
// element by element. The caller writes the maximum count itself when the
// array is not behind a pointer of its own (a conformant structure hoists it).
void ndr_put_array(ndr_writer* w, const void* elems, uint32_t n, const ndr_type* type);
void ndr_put_conformant_array(ndr_writer* w, const void* elems, uint32_t n, const ndr_type* type);

// A record in full: flat pass, then its referents (one level of nesting).
// This is the referent of a unique pointer to one record, and also a
// top-level [ref] parameter.
void ndr_put_record(ndr_writer* w, const void* elem, const ndr_type* type);
// A record in full into caller's storage (zeroed by the caller).
bool ndr_get_record(ndr_reader* r, void* elem, const ndr_type* type);

// Reads a maximum count and checks that `n` elements of `wire_size` bytes can
// follow in what is left.
bool ndr_get_conformance(ndr_reader* r, uint32_t* n, size_t wire_size);
// Reads n records (n already checked or checked here) into a new zeroed block;
// n == 0 gives null and allocates nothing.
bool ndr_get_array(ndr_reader* r, void** elems, uint32_t n, const ndr_type* type);
// The referent of a pointer to a conformant array whose size is given by a
// count field already read: maximum count (must equal `expected`), then the
// records. A negative or mismatching count gives NCA_S_FAULT_INVALID_BOUND.
bool ndr_get_conformant_array(ndr_reader* r, void** elems, int32_t expected, const ndr_type* type);
