#include "platform/rpc/epm.h"

#include <cstring>

#include "platform/rpc/ndr.h"
#include "platform/rpc/rpc_status.h"

namespace {

// A UUID floor: lhs = id, UUID, major version; rhs = minor version.
void put_uuid_floor(std::vector<uint8_t>* out, const rpc_syntax_id& s) {
  rpc_put_le16(out, 19);
  out->push_back(EPM_FLOOR_UUID);
  uint8_t w[16];
  rpc_uuid_to_wire(s.uuid, w);
  out->insert(out->end(), w, w + 16);
  rpc_put_le16(out, s.major);
  rpc_put_le16(out, 2);
  rpc_put_le16(out, s.minor);
}

void put_simple_floor(std::vector<uint8_t>* out, uint8_t id, const uint8_t* rhs, uint16_t n) {
  rpc_put_le16(out, 1);
  out->push_back(id);
  rpc_put_le16(out, n);
  out->insert(out->end(), rhs, rhs + n);
}

bool get_uuid_floor(const uint8_t* lhs, size_t lhs_len, const uint8_t* rhs, size_t rhs_len,
                    rpc_syntax_id* s) {
  if (lhs_len != 19 || lhs[0] != EPM_FLOOR_UUID || rhs_len != 2) return false;
  s->uuid = rpc_uuid_from_wire(lhs + 1);
  s->major = rpc_get_le16(lhs + 17);
  s->minor = rpc_get_le16(rhs);
  return true;
}

bool is_nil(const rpc_uuid& u) { return u == rpc_uuid{}; }

bool same_syntax(const rpc_syntax_id& a, const rpc_syntax_id& b) {
  return a.uuid == b.uuid && a.major == b.major && a.minor == b.minor;
}

void put_handle(ndr_writer* w, const epm_handle& h) {
  ndr_align(w, 4);
  ndr_put_bytes(w, h.bytes, sizeof h.bytes);
}

bool get_handle(ndr_reader* r, epm_handle* h) {
  return ndr_get_align(r, 4) && ndr_get_bytes(r, h->bytes, sizeof h->bytes);
}

// A full pointer to a UUID at top level: its id, then the UUID at once.
bool get_ptr_uuid(ndr_reader* r, bool* present, rpc_uuid* u) {
  *u = rpc_uuid{};
  return ndr_get_ptr_id(r, NDR_PTR_UNIQUE, present) && (!*present || ndr_get_uuid(r, u));
}

// twr_t, a conformant structure: the hoisted maximum count, tower_length
// (which must agree), then the octets. *octets points into the stub.
bool get_twr(ndr_reader* r, const uint8_t** octets, uint32_t* len) {
  uint32_t max_count, length;
  if (!ndr_get_conformance(r, &max_count, 1) || !ndr_get_u32(r, &length)) return false;
  if (length != max_count) return ndr_reader_fail(r, NCA_S_FAULT_INVALID_BOUND);
  if (ndr_remaining(r) < length) return ndr_reader_fail(r, NCA_S_FAULT_NDR);
  *octets = r->data + r->pos;
  *len = length;
  r->pos += length;
  return true;
}

void put_twr(ndr_writer* w, const epm_tower& t) {
  std::vector<uint8_t> octets;
  epm_tower_encode(t, &octets);
  ndr_put_u32(w, static_cast<uint32_t>(octets.size()));
  ndr_put_u32(w, static_cast<uint32_t>(octets.size()));
  ndr_put_bytes(w, octets.data(), octets.size());
}

}  // namespace

// ---- Towers ----

void epm_tower_encode(const epm_tower& t, std::vector<uint8_t>* out) {
  rpc_put_le16(out, 5);
  put_uuid_floor(out, t.iface);
  put_uuid_floor(out, t.transfer);
  const uint8_t zero[2] = {0, 0};
  put_simple_floor(out, EPM_FLOOR_RPC_CO, zero, 2);
  const uint8_t port[2] = {static_cast<uint8_t>(t.port >> 8), static_cast<uint8_t>(t.port)};
  put_simple_floor(out, EPM_FLOOR_TCP, port, 2);
  put_simple_floor(out, EPM_FLOOR_IP, t.addr, 4);
}

int epm_tower_decode(const uint8_t* p, size_t len, epm_tower* out) {
  *out = epm_tower{};
  if (len < 2) return RPC_X_BAD_STUB_DATA;
  size_t floors = rpc_get_le16(p);
  if (floors < 3 || floors > EPM_MAX_FLOORS) return RPC_X_BAD_STUB_DATA;
  size_t off = 2;
  for (size_t i = 0; i < floors; ++i) {
    if (len - off < 2) return RPC_X_BAD_STUB_DATA;
    size_t lhs_len = rpc_get_le16(p + off);
    off += 2;
    if (lhs_len == 0 || len - off < lhs_len + 2) return RPC_X_BAD_STUB_DATA;
    const uint8_t* lhs = p + off;
    off += lhs_len;
    size_t rhs_len = rpc_get_le16(p + off);
    off += 2;
    if (len - off < rhs_len) return RPC_X_BAD_STUB_DATA;
    const uint8_t* rhs = p + off;
    off += rhs_len;
    if (i == 0 || i == 1) {
      if (!get_uuid_floor(lhs, lhs_len, rhs, rhs_len, i == 0 ? &out->iface : &out->transfer)) {
        return RPC_X_BAD_STUB_DATA;
      }
    } else if (i == 2) {
      out->protocol = lhs[0];
    } else if (i == 3) {
      out->transport = lhs[0];
      if ((lhs[0] == EPM_FLOOR_TCP || lhs[0] == EPM_FLOOR_UDP) && rhs_len == 2) {
        out->port = static_cast<uint16_t>(rhs[0] << 8 | rhs[1]);  // network order
      }
    } else if (lhs[0] == EPM_FLOOR_IP && rhs_len == 4) {
      std::memcpy(out->addr, rhs, 4);
    }
  }
  return RPC_S_OK;
}

// ---- ept_map ----

void epm_encode_map_request(const rpc_uuid* object, const epm_tower& tower, uint32_t max_towers,
                            std::vector<uint8_t>* out) {
  ndr_writer w;
  ndr_writer_init(&w, out);
  rpc_uuid nil{};
  ndr_put_u32(&w, 1);
  ndr_put_uuid(&w, object != nullptr ? *object : nil);
  ndr_put_u32(&w, 2);
  put_twr(&w, tower);
  put_handle(&w, epm_handle{});
  ndr_put_u32(&w, max_towers);
}

uint32_t epm_decode_map_request(const uint8_t* stub, size_t len, epm_map_request* out) {
  *out = epm_map_request{};
  ndr_reader r;
  ndr_reader_init(&r, stub, len);
  bool has_tower = false;
  if (get_ptr_uuid(&r, &out->has_object, &out->object) &&
      ndr_get_ptr_id(&r, NDR_PTR_UNIQUE, &has_tower) &&
      (!has_tower || get_twr(&r, &out->tower, &out->tower_len)) &&
      get_handle(&r, &out->entry_handle) && ndr_get_u32(&r, &out->max_towers)) {
    ndr_reader_release(&r);
    return 0;
  }
  uint32_t st = r.status;
  ndr_reader_release(&r);
  *out = epm_map_request{};
  return st;
}

void epm_encode_map_reply(const epm_handle& handle, const epm_tower* towers, uint32_t n,
                          uint32_t max_towers, uint32_t status, std::vector<uint8_t>* out) {
  ndr_writer w;
  ndr_writer_init(&w, out);
  put_handle(&w, handle);
  ndr_put_u32(&w, n);
  // A conformant varying array of pointers: counts, every id, then every tower.
  ndr_put_u32(&w, max_towers);
  ndr_put_u32(&w, 0);
  ndr_put_u32(&w, n);
  for (uint32_t i = 0; i < n; ++i) ndr_put_ptr_id(&w, &towers[i]);
  for (uint32_t i = 0; i < n; ++i) {
    ndr_align(&w, 4);
    put_twr(&w, towers[i]);
  }
  ndr_align(&w, 4);
  ndr_put_u32(&w, status);
}

uint32_t epm_decode_map_reply(const uint8_t* stub, size_t len, epm_map_reply* out) {
  *out = epm_map_reply{};
  ndr_reader r;
  ndr_reader_init(&r, stub, len);
  uint32_t max_count = 0, offset = 0, actual = 0;
  if (!get_handle(&r, &out->entry_handle) || !ndr_get_u32(&r, &out->num_towers) ||
      !ndr_get_u32(&r, &max_count) || !ndr_get_u32(&r, &offset) || !ndr_get_u32(&r, &actual)) {
    uint32_t st = r.status;
    ndr_reader_release(&r);
    *out = epm_map_reply{};
    return st;
  }
  if (offset != 0 || actual > max_count || actual != out->num_towers) {
    ndr_reader_release(&r);
    return NCA_S_FAULT_INVALID_BOUND;
  }
  if (ndr_remaining(&r) / 4 < actual) {
    ndr_reader_release(&r);
    return NCA_S_FAULT_NDR;
  }
  // The ids are read in place while the towers after them are walked, so a
  // large count costs no memory.
  const uint8_t* ids = r.data + r.pos;
  r.pos += 4 * static_cast<size_t>(actual);
  for (uint32_t i = 0; i < actual; ++i) {
    const uint8_t* id = ids + 4 * i;
    if ((id[0] | id[1] | id[2] | id[3]) == 0) continue;
    const uint8_t* octets;
    uint32_t tower_len;
    if (!ndr_get_align(&r, 4) || !get_twr(&r, &octets, &tower_len)) break;
    if (out->n < EPM_MAX_MAP &&
        epm_tower_decode(octets, tower_len, &out->towers[out->n]) == RPC_S_OK) {
      ++out->n;
    }
  }
  ndr_get_u32(&r, &out->status);
  uint32_t st = r.status;
  ndr_reader_release(&r);
  if (st != 0) *out = epm_map_reply{};
  return st;
}

int epm_status(uint32_t wire) {
  switch (wire) {
    case 0:
      return RPC_S_OK;
    case EPT_S_WIRE_NOT_REGISTERED:
      return EPT_S_NOT_REGISTERED;
    case EPT_S_WIRE_CANT_PERFORM_OP:
      return EPT_S_CANT_PERFORM_OP;
    case EPT_S_WIRE_INVALID_ENTRY:
      return EPT_S_INVALID_ENTRY;
    default:
      return static_cast<int>(wire);
  }
}

// ---- ept_lookup ----

uint32_t epm_decode_lookup_request(const uint8_t* stub, size_t len, epm_lookup_request* out) {
  *out = epm_lookup_request{};
  ndr_reader r;
  ndr_reader_init(&r, stub, len);
  bool ok = ndr_get_u32(&r, &out->inquiry_type) &&
            get_ptr_uuid(&r, &out->has_object, &out->object) &&
            ndr_get_ptr_id(&r, NDR_PTR_UNIQUE, &out->has_ifid);
  if (ok && out->has_ifid) {
    ok = ndr_get_uuid(&r, &out->ifid.uuid) && ndr_get_u16(&r, &out->ifid.major) &&
         ndr_get_u16(&r, &out->ifid.minor);
  }
  ok = ok && ndr_get_u32(&r, &out->vers_option) && get_handle(&r, &out->entry_handle) &&
       ndr_get_u32(&r, &out->max_ents);
  uint32_t st = ok ? 0 : r.status;
  ndr_reader_release(&r);
  if (st != 0) *out = epm_lookup_request{};
  return st;
}

void epm_encode_lookup_request(const epm_lookup_request& req, std::vector<uint8_t>* out) {
  ndr_writer w;
  ndr_writer_init(&w, out);
  ndr_put_u32(&w, req.inquiry_type);
  ndr_put_ptr_id(&w, req.has_object ? &req.object : nullptr);
  if (req.has_object) ndr_put_uuid(&w, req.object);
  ndr_put_ptr_id(&w, req.has_ifid ? &req.ifid : nullptr);
  if (req.has_ifid) {
    ndr_put_uuid(&w, req.ifid.uuid);
    ndr_put_u16(&w, req.ifid.major);
    ndr_put_u16(&w, req.ifid.minor);
  }
  ndr_put_u32(&w, req.vers_option);
  put_handle(&w, req.entry_handle);
  ndr_put_u32(&w, req.max_ents);
}

// ---- Server answers ----

namespace {

// ept_lookup inquiry types and version options.
constexpr uint32_t EP_ALL_ELTS = 0;
constexpr uint32_t EP_MATCH_BY_IF = 1;
constexpr uint32_t EP_MATCH_BY_OBJ = 2;
constexpr uint32_t EP_MATCH_BY_BOTH = 3;
constexpr uint32_t VERS_ALL = 1;
constexpr uint32_t VERS_COMPATIBLE = 2;
constexpr uint32_t VERS_EXACT = 3;
constexpr uint32_t VERS_MAJOR_ONLY = 4;
constexpr uint32_t VERS_UPTO = 5;

bool version_matches(uint32_t option, const rpc_syntax_id& reg, const rpc_syntax_id& want) {
  switch (option) {
    case VERS_ALL:
      return true;
    case VERS_COMPATIBLE:
      return reg.major == want.major && reg.minor >= want.minor;
    case VERS_EXACT:
      return reg.major == want.major && reg.minor == want.minor;
    case VERS_MAJOR_ONLY:
      return reg.major == want.major;
    case VERS_UPTO:
      return reg.major < want.major || (reg.major == want.major && reg.minor <= want.minor);
    default:
      return false;
  }
}

// An ept_lookup handle says where the next batch starts: after the (zero)
// attributes, twelve fixed bytes, then the index into the map, little-endian.
// The mapper keeps nothing per client; a map that changes between two calls
// may have an entry skipped or repeated.
constexpr uint8_t LOOKUP_MARK[12] = {'q', 'o', 'r', ' ', 'e', 'p', 'm', ' ', 'n', 'e', 'x', 't'};

epm_handle lookup_handle(size_t next) {
  epm_handle h{};
  std::memcpy(h.bytes + 4, LOOKUP_MARK, sizeof LOOKUP_MARK);
  for (int i = 0; i < 4; ++i) h.bytes[16 + i] = static_cast<uint8_t>(next >> (8 * i));
  return h;
}

// Where a request's handle resumes: 0 for the nil handle, the end of the map
// for a handle the mapper did not give.
size_t lookup_start(const epm_handle& h, size_t n) {
  static constexpr epm_handle nil{};
  if (std::memcmp(h.bytes, nil.bytes, sizeof h.bytes) == 0) return 0;
  if (std::memcmp(h.bytes, nil.bytes, 4) != 0 ||
      std::memcmp(h.bytes + 4, LOOKUP_MARK, sizeof LOOKUP_MARK) != 0) {
    return n;
  }
  size_t at = rpc_get_le32(h.bytes + 16);
  return at < n ? at : n;
}

epm_tower entry_tower(const epm_entry& e, const uint8_t local_addr[4]) {
  epm_tower t{};
  t.iface = e.iface;
  t.transfer = RPC_NDR20_SYNTAX;
  t.protocol = EPM_FLOOR_RPC_CO;
  t.transport = EPM_FLOOR_TCP;
  t.port = e.port;
  std::memcpy(t.addr, local_addr, 4);
  return t;
}

}  // namespace

uint32_t epm_map(const epm_entry* entries, size_t n, const uint8_t* stub, size_t len,
                 const uint8_t local_addr[4], std::vector<uint8_t>* reply) {
  epm_map_request req;
  uint32_t st = epm_decode_map_request(stub, len, &req);
  if (st != 0) return st;
  uint32_t limit = req.max_towers < EPM_MAX_MAP ? req.max_towers : EPM_MAX_MAP;
  epm_tower found[EPM_MAX_MAP];
  uint32_t count = 0;
  epm_tower want;
  if (req.tower != nullptr && epm_tower_decode(req.tower, req.tower_len, &want) == RPC_S_OK &&
      same_syntax(want.transfer, RPC_NDR20_SYNTAX) && want.protocol == EPM_FLOOR_RPC_CO &&
      want.transport == EPM_FLOOR_TCP) {
    for (size_t i = 0; i < n && count < limit; ++i) {
      const epm_entry& e = entries[i];
      if (!(e.iface.uuid == want.iface.uuid) ||
          !version_matches(VERS_COMPATIBLE, e.iface, want.iface)) {
        continue;
      }
      if (!is_nil(e.object) && !(e.object == req.object)) continue;
      found[count] = entry_tower(e, local_addr);
      // The client's own interface floor goes back as it asked.
      found[count].iface = want.iface;
      ++count;
    }
  }
  epm_encode_map_reply(epm_handle{}, found, count, req.max_towers,
                       count ? 0 : EPT_S_WIRE_NOT_REGISTERED, reply);
  return 0;
}

uint32_t epm_lookup(const epm_entry* entries, size_t n, const uint8_t* stub, size_t len,
                    const uint8_t local_addr[4], std::vector<uint8_t>* reply) {
  epm_lookup_request req;
  uint32_t st = epm_decode_lookup_request(stub, len, &req);
  if (st != 0) return st;
  uint32_t limit = req.max_ents < EPM_MAX_LOOKUP ? req.max_ents : EPM_MAX_LOOKUP;
  bool by_if = req.inquiry_type == EP_MATCH_BY_IF || req.inquiry_type == EP_MATCH_BY_BOTH;
  bool by_obj = req.inquiry_type == EP_MATCH_BY_OBJ || req.inquiry_type == EP_MATCH_BY_BOTH;
  if (req.inquiry_type != EP_ALL_ELTS && !by_if && !by_obj) limit = 0;  // unknown inquiry

  std::vector<const epm_entry*> hits;
  size_t i = lookup_start(req.entry_handle, n);
  for (; i < n && hits.size() < limit; ++i) {
    const epm_entry& e = entries[i];
    if (by_if && (!req.has_ifid || !(e.iface.uuid == req.ifid.uuid) ||
                  !version_matches(req.vers_option, e.iface, req.ifid))) {
      continue;
    }
    if (by_obj && !(e.object == req.object)) continue;
    hits.push_back(&e);
  }

  // A full batch hands back where to go on, even when nothing is left: a
  // client that asks one entry at a time (Samba's) stops only at
  // ept_s_not_registered, and one that ends at the nil handle (impacket's)
  // gets it with its last, short batch.
  uint32_t count = static_cast<uint32_t>(hits.size());
  bool full = count > 0 && count == limit;
  ndr_writer w;
  ndr_writer_init(&w, reply);
  put_handle(&w, full ? lookup_handle(i) : epm_handle{});
  ndr_put_u32(&w, count);
  ndr_put_u32(&w, req.max_ents);
  ndr_put_u32(&w, 0);
  ndr_put_u32(&w, count);
  // ept_entry_t: object, tower pointer, annotation (varying: offset, count
  // with the NUL, bytes); the towers follow all entries.
  std::vector<epm_tower> towers;
  for (const epm_entry* e : hits) {
    ndr_put_uuid(&w, e->object);
    towers.push_back(entry_tower(*e, local_addr));
    ndr_put_ptr_id(&w, &towers.back());
    size_t text = strnlen(e->annotation, sizeof e->annotation - 1);
    ndr_put_u32(&w, 0);
    ndr_put_u32(&w, static_cast<uint32_t>(text + 1));
    ndr_put_bytes(&w, e->annotation, text);
    ndr_put_u8(&w, 0);
  }
  for (const epm_tower& t : towers) {
    ndr_align(&w, 4);
    put_twr(&w, t);
  }
  ndr_align(&w, 4);
  ndr_put_u32(&w, count ? 0 : EPT_S_WIRE_NOT_REGISTERED);
  return 0;
}
