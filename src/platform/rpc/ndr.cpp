#include "platform/rpc/ndr.h"

#include <cstddef>
#include <cstring>
#include <new>
#include <stdexcept>

#include "platform/memory.h"

namespace {

// First referent id, as Microsoft stubs number them; any non-zero id is valid.
constexpr uint32_t FIRST_REF_ID = 0x00020000;
constexpr int ENUM16_MAX = 32767;

// What a writer makes room for when it starts: every ns_qor_if request and
// most replies fit.
constexpr size_t NDR_FIRST_ROOM = 512;

// Appends n bytes to the stub; null once the writer has failed. Growing the
// vector is the one place where the C++ library may throw: a failed growth
// becomes the writer's status instead.
uint8_t* reserve(ndr_writer* w, size_t n) {
  if (w->status != 0) return nullptr;
  size_t at = w->out->size();
  try {
    w->out->resize(at + n);
  } catch (const std::bad_alloc&) {
    w->status = NCA_S_FAULT_REMOTE_NO_MEMORY;
    return nullptr;
  } catch (const std::length_error&) {
    w->status = NCA_S_FAULT_REMOTE_NO_MEMORY;
    return nullptr;
  }
  return w->out->data() + at;
}

void put_le(ndr_writer* w, uint64_t v, size_t n) {
  ndr_align(w, n);
  uint8_t* p = reserve(w, n);
  if (p == nullptr) return;
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool get_le(ndr_reader* r, size_t n, uint64_t* v) {
  if (!ndr_get_align(r, n)) return false;
  if (ndr_remaining(r) < n) return ndr_reader_fail(r, NCA_S_FAULT_NDR);
  uint64_t x = 0;
  for (size_t i = 0; i < n; ++i) x |= static_cast<uint64_t>(r->data[r->pos + i]) << (8 * i);
  r->pos += n;
  *v = x;
  return true;
}

bool journal_add(ndr_reader* r, void* block) {
  if (r->nblocks == r->cap) {
    size_t cap = r->cap * 2;
    void** grown;
    if (r->blocks == r->inline_blocks) {
      grown = static_cast<void**>(qor_malloc(cap * sizeof(void*)));
      if (grown != nullptr) std::memcpy(grown, r->inline_blocks, r->nblocks * sizeof(void*));
    } else {
      grown = static_cast<void**>(qor_realloc(r->blocks, cap * sizeof(void*)));
    }
    if (grown == nullptr) return false;
    r->blocks = grown;
    r->cap = cap;
  }
  r->blocks[r->nblocks++] = block;
  return true;
}

void journal_reset(ndr_reader* r) {
  if (r->blocks != r->inline_blocks) qor_free(r->blocks);
  r->blocks = r->inline_blocks;
  r->nblocks = 0;
  r->cap = sizeof(r->inline_blocks) / sizeof(r->inline_blocks[0]);
}

alignas(std::max_align_t) const char pending_marker_storage = 0;

void put_string_flat(ndr_writer* w, const void* elem) {
  ndr_put_ptr_id(w, *static_cast<const char* const*>(elem));
}

void put_string_deferred(ndr_writer* w, const void* elem) {
  const char* s = *static_cast<const char* const*>(elem);
  if (s != nullptr) ndr_put_string(w, s);
}

bool get_string_flat(ndr_reader* r, void* elem) {
  return ndr_get_unique(r, static_cast<char**>(elem));
}

bool get_string_deferred(ndr_reader* r, void* elem) {
  char** s = static_cast<char**>(elem);
  if (!ndr_pending(*s)) return true;
  *s = nullptr;
  return ndr_get_string(r, s);
}

}  // namespace

const ndr_type NDR_UNIQUE_STRING = {
    sizeof(char*), 4, put_string_flat, put_string_deferred, get_string_flat, get_string_deferred};

// ---------------------------------------------------------------- encoder

void ndr_writer_init(ndr_writer* w, std::vector<uint8_t>* out) {
  // Room for a typical stub at once rather than a growth step per field;
  // should even that fail, the first field's growth reports it.
  if (out->capacity() - out->size() < NDR_FIRST_ROOM) {
    try {
      out->reserve(out->size() + NDR_FIRST_ROOM);
    } catch (const std::exception&) {
    }
  }
  w->out = out;
  w->origin = out->size();
  w->next_ref_id = FIRST_REF_ID;
  w->status = 0;
  w->depth = 0;
}

void ndr_writer_fail(ndr_writer* w, uint32_t status) {
  if (w->status == 0) w->status = status;
}

void ndr_align(ndr_writer* w, size_t alignment) {
  size_t offset = w->out->size() - w->origin;
  size_t pad = (alignment - offset % alignment) % alignment;
  if (pad == 0) return;
  uint8_t* p = reserve(w, pad);
  if (p != nullptr) std::memset(p, 0, pad);
}

void ndr_put_u8(ndr_writer* w, uint8_t v) { put_le(w, v, 1); }
void ndr_put_u16(ndr_writer* w, uint16_t v) { put_le(w, v, 2); }
void ndr_put_u32(ndr_writer* w, uint32_t v) { put_le(w, v, 4); }
void ndr_put_i32(ndr_writer* w, int32_t v) { put_le(w, static_cast<uint32_t>(v), 4); }

void ndr_put_enum16(ndr_writer* w, int v) {
  if (v < 0 || v > ENUM16_MAX) return ndr_writer_fail(w, NCA_S_FAULT_ENUM_VALUE_OUT_OF_RANGE);
  put_le(w, static_cast<uint16_t>(v), 2);
}

void ndr_put_bytes(ndr_writer* w, const void* data, size_t n) {
  if (n == 0) return;
  uint8_t* p = reserve(w, n);
  if (p != nullptr) std::memcpy(p, data, n);
}

void ndr_put_uuid(ndr_writer* w, const rpc_uuid& uuid) {
  uint8_t wire[16];
  rpc_uuid_to_wire(uuid, wire);
  ndr_align(w, 4);
  ndr_put_bytes(w, wire, sizeof(wire));
}

void ndr_put_ptr_id(ndr_writer* w, const void* p) {
  if (p == nullptr) return ndr_put_u32(w, 0);
  ndr_put_u32(w, w->next_ref_id);
  w->next_ref_id += 4;
}

void ndr_put_string(ndr_writer* w, const char* s) {
  if (s == nullptr) return ndr_writer_fail(w, NCA_S_FAULT_NDR);
  size_t n = std::strlen(s) + 1;
  if (n > UINT32_MAX) return ndr_writer_fail(w, NCA_S_FAULT_INVALID_BOUND);
  ndr_put_u32(w, static_cast<uint32_t>(n));
  ndr_put_u32(w, 0);
  ndr_put_u32(w, static_cast<uint32_t>(n));
  ndr_put_bytes(w, s, n);
}

void ndr_put_array(ndr_writer* w, const void* elems, uint32_t n, const ndr_type* type) {
  if (n == 0) return;
  if (++w->depth > NDR_MAX_DEPTH) ndr_writer_fail(w, NCA_S_FAULT_NDR);
  const char* base = static_cast<const char*>(elems);
  for (uint32_t i = 0; i < n && w->status == 0; ++i) type->put_flat(w, base + i * type->mem_size);
  for (uint32_t i = 0; i < n && w->status == 0; ++i) {
    type->put_deferred(w, base + i * type->mem_size);
  }
  --w->depth;
}

void ndr_put_conformant_array(ndr_writer* w, const void* elems, uint32_t n, const ndr_type* type) {
  ndr_put_u32(w, n);
  ndr_put_array(w, elems, n, type);
}

void ndr_put_record(ndr_writer* w, const void* elem, const ndr_type* type) {
  if (++w->depth > NDR_MAX_DEPTH) ndr_writer_fail(w, NCA_S_FAULT_NDR);
  if (w->status == 0) type->put_flat(w, elem);
  if (w->status == 0) type->put_deferred(w, elem);
  --w->depth;
}

// ---------------------------------------------------------------- decoder

void ndr_reader_init(ndr_reader* r, const uint8_t* data, size_t len) {
  r->data = data;
  r->len = len;
  r->pos = 0;
  r->status = 0;
  r->depth = 0;
  r->max_depth = NDR_MAX_DEPTH;
  r->alloc_total = 0;
  r->alloc_limit = NDR_MAX_ALLOC;
  r->alloc = qor_malloc;
  r->dealloc = qor_free;
  r->blocks = r->inline_blocks;
  r->nblocks = 0;
  r->cap = sizeof(r->inline_blocks) / sizeof(r->inline_blocks[0]);
}

void ndr_reader_release(ndr_reader* r) {
  // Last first, the reverse of allocation.
  for (size_t i = r->nblocks; i > 0; --i) r->dealloc(r->blocks[i - 1]);
  journal_reset(r);
  r->alloc_total = 0;
}

void ndr_reader_commit(ndr_reader* r) {
  journal_reset(r);
  r->alloc_total = 0;
}

bool ndr_reader_fail(ndr_reader* r, uint32_t status) {
  if (r->status == 0) r->status = status;
  return false;
}

size_t ndr_remaining(const ndr_reader* r) { return r->len - r->pos; }

bool ndr_get_align(ndr_reader* r, size_t alignment) {
  if (r->status != 0) return false;
  size_t pad = (alignment - r->pos % alignment) % alignment;
  if (ndr_remaining(r) < pad) return ndr_reader_fail(r, NCA_S_FAULT_NDR);
  r->pos += pad;
  return true;
}

bool ndr_get_u8(ndr_reader* r, uint8_t* v) {
  uint64_t x;
  if (!get_le(r, 1, &x)) return false;
  *v = static_cast<uint8_t>(x);
  return true;
}

bool ndr_get_u16(ndr_reader* r, uint16_t* v) {
  uint64_t x;
  if (!get_le(r, 2, &x)) return false;
  *v = static_cast<uint16_t>(x);
  return true;
}

bool ndr_get_u32(ndr_reader* r, uint32_t* v) {
  uint64_t x;
  if (!get_le(r, 4, &x)) return false;
  *v = static_cast<uint32_t>(x);
  return true;
}

bool ndr_get_i32(ndr_reader* r, int32_t* v) {
  uint32_t x;
  if (!ndr_get_u32(r, &x)) return false;
  *v = static_cast<int32_t>(x);
  return true;
}

bool ndr_get_enum16(ndr_reader* r, int* v) {
  uint16_t x;
  if (!ndr_get_u16(r, &x)) return false;
  if (x > ENUM16_MAX) return ndr_reader_fail(r, NCA_S_FAULT_ENUM_VALUE_OUT_OF_RANGE);
  *v = x;
  return true;
}

bool ndr_get_bytes(ndr_reader* r, void* out, size_t n) {
  if (r->status != 0) return false;
  if (ndr_remaining(r) < n) return ndr_reader_fail(r, NCA_S_FAULT_NDR);
  if (n != 0) std::memcpy(out, r->data + r->pos, n);
  r->pos += n;
  return true;
}

bool ndr_get_uuid(ndr_reader* r, rpc_uuid* uuid) {
  uint8_t wire[16];
  if (!ndr_get_align(r, 4) || !ndr_get_bytes(r, wire, sizeof(wire))) return false;
  *uuid = rpc_uuid_from_wire(wire);
  return true;
}

void* ndr_alloc(ndr_reader* r, size_t n) {
  if (r->status != 0) return nullptr;
  if (n > r->alloc_limit - r->alloc_total) {
    ndr_reader_fail(r, NCA_S_FAULT_REMOTE_NO_MEMORY);
    return nullptr;
  }
  void* block = r->alloc(n ? n : 1);
  if (block == nullptr) {
    ndr_reader_fail(r, NCA_S_FAULT_REMOTE_NO_MEMORY);
    return nullptr;
  }
  if (!journal_add(r, block)) {
    r->dealloc(block);
    ndr_reader_fail(r, NCA_S_FAULT_REMOTE_NO_MEMORY);
    return nullptr;
  }
  r->alloc_total += n;
  return block;
}

bool ndr_get_ptr_id(ndr_reader* r, ndr_ptr_kind kind, bool* present) {
  uint32_t id;
  if (!ndr_get_u32(r, &id)) return false;
  if (kind == NDR_PTR_REF && id == 0) return ndr_reader_fail(r, NCA_S_FAULT_NDR);
  if (kind == NDR_PTR_NULL && id != 0) return ndr_reader_fail(r, NCA_S_FAULT_NDR);
  *present = id != 0;
  return true;
}

void* ndr_pending_marker() { return const_cast<char*>(&pending_marker_storage); }

bool ndr_get_string(ndr_reader* r, char** s) {
  uint32_t max_count, offset, actual;
  if (!ndr_get_u32(r, &max_count) || !ndr_get_u32(r, &offset) || !ndr_get_u32(r, &actual)) {
    return false;
  }
  if (offset != 0 || actual == 0) return ndr_reader_fail(r, NCA_S_FAULT_NDR);
  if (actual > max_count) return ndr_reader_fail(r, NCA_S_FAULT_INVALID_BOUND);
  // A maximum count beyond the stub claims bytes that are not there.
  if (max_count > ndr_remaining(r)) return ndr_reader_fail(r, NCA_S_FAULT_NDR);
  const uint8_t* bytes = r->data + r->pos;
  // The terminator is counted: it must be the last byte and the only zero.
  if (bytes[actual - 1] != 0 || std::memchr(bytes, 0, actual - 1) != nullptr) {
    return ndr_reader_fail(r, NCA_S_FAULT_NDR);
  }
  char* copy = static_cast<char*>(ndr_alloc(r, actual));
  if (copy == nullptr) return false;
  std::memcpy(copy, bytes, actual);
  r->pos += actual;
  *s = copy;
  return true;
}

bool ndr_enter(ndr_reader* r) {
  if (r->status != 0) return false;
  if (r->depth >= r->max_depth) return ndr_reader_fail(r, NCA_S_FAULT_NDR);
  ++r->depth;
  return true;
}

void ndr_leave(ndr_reader* r) { --r->depth; }

bool ndr_get_conformance(ndr_reader* r, uint32_t* n, size_t wire_size) {
  uint32_t count;
  if (!ndr_get_u32(r, &count)) return false;
  // Checked before any allocation: the elements must be there to be read.
  if (wire_size != 0 && count > ndr_remaining(r) / wire_size) {
    return ndr_reader_fail(r, NCA_S_FAULT_NDR);
  }
  *n = count;
  return true;
}

bool ndr_get_array(ndr_reader* r, void** elems, uint32_t n, const ndr_type* type) {
  *elems = nullptr;
  if (n == 0) return r->status == 0;
  if (type->wire_size != 0 && n > ndr_remaining(r) / type->wire_size) {
    return ndr_reader_fail(r, NCA_S_FAULT_NDR);
  }
  if (n > SIZE_MAX / type->mem_size) return ndr_reader_fail(r, NCA_S_FAULT_REMOTE_NO_MEMORY);
  if (!ndr_enter(r)) return false;
  size_t bytes = n * type->mem_size;
  char* base = static_cast<char*>(ndr_alloc(r, bytes));
  if (base == nullptr) {
    ndr_leave(r);
    return false;
  }
  std::memset(base, 0, bytes);
  bool ok = true;
  for (uint32_t i = 0; ok && i < n; ++i) ok = type->get_flat(r, base + i * type->mem_size);
  for (uint32_t i = 0; ok && i < n; ++i) ok = type->get_deferred(r, base + i * type->mem_size);
  ndr_leave(r);
  if (!ok) return false;
  *elems = base;
  return true;
}

bool ndr_get_conformant_array(ndr_reader* r, void** elems, int32_t expected, const ndr_type* type) {
  *elems = nullptr;
  uint32_t n;
  if (!ndr_get_u32(r, &n)) return false;
  if (expected < 0 || n != static_cast<uint32_t>(expected)) {
    return ndr_reader_fail(r, NCA_S_FAULT_INVALID_BOUND);
  }
  return ndr_get_array(r, elems, n, type);
}

bool ndr_get_record(ndr_reader* r, void* elem, const ndr_type* type) {
  if (!ndr_enter(r)) return false;
  bool ok = type->get_flat(r, elem) && type->get_deferred(r, elem);
  ndr_leave(r);
  return ok;
}
