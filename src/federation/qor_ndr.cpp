#include "federation/qor_ndr.h"

#include "federation/user_mem.h"

namespace {

// ---------------------------------------------------------------- qorobjid

void objid_put_flat(ndr_writer* w, const void* elem) {
  const qorobjid* obj = static_cast<const qorobjid*>(elem);
  ndr_align(w, 4);  // the record aligns to its largest member
  ndr_put_enum16(w, obj->nsclass);
  ndr_put_ptr_id(w, obj->name);
  ndr_put_ptr_id(w, obj->domain);
}

void objid_put_deferred(ndr_writer* w, const void* elem) {
  const qorobjid* obj = static_cast<const qorobjid*>(elem);
  if (obj->name != nullptr) ndr_put_string(w, obj->name);
  if (obj->domain != nullptr) ndr_put_string(w, obj->domain);
}

bool objid_get_flat(ndr_reader* r, void* elem) {
  qorobjid* obj = static_cast<qorobjid*>(elem);
  int nsclass = 0;
  if (!ndr_get_align(r, 4) || !ndr_get_enum16(r, &nsclass)) return false;
  obj->nsclass = nsclass;
  return ndr_get_unique(r, &obj->name) && ndr_get_unique(r, &obj->domain);
}

// Replaces a pending string pointer by the string that follows.
bool get_pending_string(ndr_reader* r, char** s) {
  if (!ndr_pending(*s)) return true;
  *s = nullptr;
  return ndr_get_string(r, s);
}

bool objid_get_deferred(ndr_reader* r, void* elem) {
  qorobjid* obj = static_cast<qorobjid*>(elem);
  return get_pending_string(r, &obj->name) && get_pending_string(r, &obj->domain);
}

// ---------------------------------------------------------------- counted lists

// Flat part of {long len; [size_is(len)] T* val}.
void list_put_flat(ndr_writer* w, int32_t len, const void* val) {
  if (len < 0 || (len > 0 && val == nullptr)) ndr_writer_fail(w, NCA_S_FAULT_INVALID_BOUND);
  ndr_put_i32(w, len);
  ndr_put_ptr_id(w, len > 0 ? val : nullptr);
}

void list_put_deferred(ndr_writer* w, int32_t len, const void* val, const ndr_type* type) {
  if (len > 0) ndr_put_conformant_array(w, val, static_cast<uint32_t>(len), type);
}

template <typename T>
bool list_get_flat(ndr_reader* r, int32_t* len, T** val) {
  if (!ndr_get_i32(r, len) || !ndr_get_unique(r, val)) return false;
  // A count says how many elements the array holds: it needs the array.
  if (*len < 0 || (*len != 0 && !ndr_pending(*val))) {
    return ndr_reader_fail(r, NCA_S_FAULT_INVALID_BOUND);
  }
  return true;
}

template <typename T>
bool list_get_deferred(ndr_reader* r, int32_t len, T** val, const ndr_type* type) {
  if (!ndr_pending(*val)) return true;
  *val = nullptr;
  void* elems = nullptr;
  if (!ndr_get_conformant_array(r, &elems, len, type)) return false;
  *val = static_cast<T*>(elems);
  return true;
}

void objects_put_flat(ndr_writer* w, const void* elem) {
  const qorobjects* list = static_cast<const qorobjects*>(elem);
  list_put_flat(w, list->len, list->val);
}
void objects_put_deferred(ndr_writer* w, const void* elem) {
  const qorobjects* list = static_cast<const qorobjects*>(elem);
  list_put_deferred(w, list->len, list->val, &QOR_NDR_QOROBJID);
}
bool objects_get_flat(ndr_reader* r, void* elem) {
  qorobjects* list = static_cast<qorobjects*>(elem);
  return list_get_flat(r, &list->len, &list->val);
}
bool objects_get_deferred(ndr_reader* r, void* elem) {
  qorobjects* list = static_cast<qorobjects*>(elem);
  return list_get_deferred(r, list->len, &list->val, &QOR_NDR_QOROBJID);
}

// rpcbinding and domainlist share one declaration: {long len; [size_is(len)] [string] char** val}.
template <typename L>
void strings_put_flat(ndr_writer* w, const void* elem) {
  const L* list = static_cast<const L*>(elem);
  list_put_flat(w, list->len, list->val);
}
template <typename L>
void strings_put_deferred(ndr_writer* w, const void* elem) {
  const L* list = static_cast<const L*>(elem);
  list_put_deferred(w, list->len, list->val, &NDR_UNIQUE_STRING);
}
template <typename L>
bool strings_get_flat(ndr_reader* r, void* elem) {
  L* list = static_cast<L*>(elem);
  return list_get_flat(r, &list->len, &list->val);
}
template <typename L>
bool strings_get_deferred(ndr_reader* r, void* elem) {
  L* list = static_cast<L*>(elem);
  return list_get_deferred(r, list->len, &list->val, &NDR_UNIQUE_STRING);
}

// ---------------------------------------------------------------- qor_serverinfo

void serverinfo_put_flat(ndr_writer* w, const void* elem) {
  const qor_serverinfo* info = static_cast<const qor_serverinfo*>(elem);
  strings_put_flat<rpcbinding>(w, &info->binding);
  ndr_put_ptr_id(w, info->host);
  ndr_put_i32(w, info->support_auth);
}

// The embedded binding list's referents come first, then the host: the
// order of the pointers within the record.
void serverinfo_put_deferred(ndr_writer* w, const void* elem) {
  const qor_serverinfo* info = static_cast<const qor_serverinfo*>(elem);
  strings_put_deferred<rpcbinding>(w, &info->binding);
  if (info->host != nullptr) ndr_put_string(w, info->host);
}

bool serverinfo_get_flat(ndr_reader* r, void* elem) {
  qor_serverinfo* info = static_cast<qor_serverinfo*>(elem);
  return strings_get_flat<rpcbinding>(r, &info->binding) && ndr_get_unique(r, &info->host) &&
         ndr_get_i32(r, &info->support_auth);
}

bool serverinfo_get_deferred(ndr_reader* r, void* elem) {
  qor_serverinfo* info = static_cast<qor_serverinfo*>(elem);
  return strings_get_deferred<rpcbinding>(r, &info->binding) && get_pending_string(r, &info->host);
}

void* user_allocate(size_t n) { return NS__MIDL_user_allocate(n); }
void user_free(void* p) { NS__MIDL_user_free(p); }

}  // namespace

const ndr_type QOR_NDR_QOROBJID = {
    sizeof(qorobjid), 12, objid_put_flat, objid_put_deferred, objid_get_flat, objid_get_deferred};
const ndr_type QOR_NDR_QOROBJECTS = {sizeof(qorobjects), 8,
                                     objects_put_flat,   objects_put_deferred,
                                     objects_get_flat,   objects_get_deferred};
const ndr_type QOR_NDR_RPCBINDING = {
    sizeof(rpcbinding),           8,
    strings_put_flat<rpcbinding>, strings_put_deferred<rpcbinding>,
    strings_get_flat<rpcbinding>, strings_get_deferred<rpcbinding>};
const ndr_type QOR_NDR_SERVERINFO = {sizeof(qor_serverinfo), 16,
                                     serverinfo_put_flat,    serverinfo_put_deferred,
                                     serverinfo_get_flat,    serverinfo_get_deferred};
const ndr_type QOR_NDR_DOMAINLIST = {
    sizeof(domainlist),           8,
    strings_put_flat<domainlist>, strings_put_deferred<domainlist>,
    strings_get_flat<domainlist>, strings_get_deferred<domainlist>};

void qor_ndr_reader_init(ndr_reader* r, const uint8_t* in, size_t len) {
  ndr_reader_init(r, in, len);
  r->alloc = user_allocate;
  r->dealloc = user_free;
}

void qor_ndr_put_out_string(ndr_writer* w, const char* s) {
  ndr_put_ptr_id(w, s);
  if (s != nullptr) ndr_put_string(w, s);
}

bool qor_ndr_get_out_string(ndr_reader* r, char** s) {
  *s = nullptr;
  bool present = false;
  if (!ndr_get_ptr_id(r, NDR_PTR_UNIQUE, &present)) return false;
  return !present || ndr_get_string(r, s);
}

// NS__MIDL_user_free and the records' releases both end in qor_free, so what the
// stubs and readers allocate goes back through the records' own operations.
void qor_ndr_free_qorobjid(qorobjid* obj) { NS__free_qorobjid(obj); }

void qor_ndr_free_qorobjects(qorobjects* obj) {
  if (obj->val != nullptr) NS__free_qorobjects(obj);
}

void qor_ndr_free_strings(int32_t len, char** val) {
  if (val == nullptr) return;
  rpcbinding list = {len, val};
  NS__free_rpcbinding(&list);
}
