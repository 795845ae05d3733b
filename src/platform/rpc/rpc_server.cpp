// The RPC server's calls: protocol sequences, interface registration, the
// endpoint map and its service, listening and its end. The sockets and
// threads behind them are in rpc_transport.cpp.
#include "platform/rpc/rpc_server.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/hostlookup.h"
#include "platform/memory.h"
#include "platform/rpc/epm.h"
#include "platform/rpc/rpc_binding.h"
#include "platform/rpc/string_binding.h"
#include "service/qorutil.h"

namespace {

constexpr const char* TCP_PROTSEQ = "ncacn_ip_tcp";

constexpr uint16_t DEFAULT_EPMAPPER_PORT = 135;

// Listening states.
constexpr int NOT_LISTENING = 0;
constexpr int LISTENING = 1;
constexpr int STOPPING = 2;  // stopped; calls and connections still ending

struct if_slot {
  const rpc_server_interface* iface;
  const void* epv;
  bool registered;
  unsigned active;  // calls in progress; a slot is reused only at 0
};

struct server_state {
  std::mutex life;  // serialises the start and the stop of listening
  std::mutex mu;
  std::condition_variable changed;       // a call ended, listening changed
  bool protseq = false;                  // GUARDED_BY(mu) ncacn_ip_tcp in use
  uint32_t addr = 0;                     // GUARDED_BY(mu) network order; 0: every address
  uint16_t port = 0;                     // GUARDED_BY(mu)
  uint16_t mapper_port = 0;              // GUARDED_BY(mu) 0: mapper not open
  if_slot ifs[RPC_MAX_INTERFACES] = {};  // GUARDED_BY(mu)
  std::vector<epm_entry> epm;            // GUARDED_BY(mu)
  int listen = NOT_LISTENING;            // GUARDED_BY(mu)
  unsigned generation = 0;               // GUARDED_BY(mu) counts starts of listening
  unsigned max_calls = 0;                // GUARDED_BY(mu)
  unsigned active = 0;                   // GUARDED_BY(mu)
};

server_state srv;

// ---- The endpoint mapper's stubs ----

// Changes of the endpoint map come only from this process.
rpc_stub_result ept_refuse(const void*, const uint8_t*, size_t, std::vector<uint8_t>* out) {
  rpc_put_le32(out, EPT_S_WIRE_CANT_PERFORM_OP);
  return {0, true};
}

rpc_stub_result ept_lookup(const void* epv, const uint8_t* in, size_t len,
                           std::vector<uint8_t>* out) {
  std::lock_guard<std::mutex> hold(srv.mu);
  uint32_t fault =
      epm_lookup(srv.epm.data(), srv.epm.size(), in, len, static_cast<const uint8_t*>(epv), out);
  return {fault, false};
}

rpc_stub_result ept_map(const void* epv, const uint8_t* in, size_t len, std::vector<uint8_t>* out) {
  std::lock_guard<std::mutex> hold(srv.mu);
  uint32_t fault =
      epm_map(srv.epm.data(), srv.epm.size(), in, len, static_cast<const uint8_t*>(epv), out);
  return {fault, false};
}

// A lookup handle is only a position in the map: there is nothing to free.
rpc_stub_result ept_lookup_handle_free(const void*, const uint8_t*, size_t,
                                       std::vector<uint8_t>* out) {
  out->insert(out->end(), sizeof(epm_handle), 0);
  rpc_put_le32(out, 0);
  return {0, true};
}

const rpc_server_stub_t EPM_STUBS[] = {ept_refuse, ept_refuse, ept_lookup, ept_map,
                                       ept_lookup_handle_free};
const rpc_server_interface EPM_INTERFACE = {RPC_EPM_SYNTAX, 5, EPM_STUBS, nullptr};

// ---- Helpers ----

// RpcListenAddress: *addr = the address (network order), or 0 when unset.
RPC_STATUS read_listen_address(uint32_t* addr) {
  *addr = 0;
  char* text = NS__GetRegStr("RpcListenAddress", nullptr);
  if (text == nullptr) return RPC_S_OK;
  RPC_STATUS st = RPC_S_OK;
  struct in_addr a;
  if (text[0] != '\0') {
    if (inet_pton(AF_INET, text, &a) == 1) {
      *addr = a.s_addr;
    } else {
      st = RPC_S_INVALID_NET_ADDR;
    }
  }
  qor_free(text);
  return st;
}

RPC_STATUS use_protseq(const char* protseq, uint16_t port) {
  RPC_STATUS offered = rpc_protseq_status(protseq);
  if (offered != RPC_S_OK) return offered;
  // One endpoint serves every interface; asking again changes nothing.
  auto again = [port] {
    return port == 0 || port == srv.port ? RPC_S_OK : RPC_S_DUPLICATE_ENDPOINT;
  };
  {
    std::lock_guard<std::mutex> hold(srv.mu);
    if (srv.protseq) return again();
  }
  // The setting is read without the server's lock, which every call takes:
  // its guard may keep the reader waiting on another process.
  uint32_t addr;
  RPC_STATUS st = read_listen_address(&addr);
  if (st != RPC_S_OK) return st;
  // A dynamic endpoint leaves the endpoint mapper's port to the mapper.
  uint32_t mapper = NS__GetRegInt("RpcEpmapperPort", DEFAULT_EPMAPPER_PORT);
  std::lock_guard<std::mutex> hold(srv.mu);
  if (srv.protseq) return again();
  uint16_t bound;
  st = rpc_net_open(RPC_ENDPOINT_SERVER, addr, port,
                    static_cast<uint16_t>(mapper <= 65535 ? mapper : 0), &bound);
  if (st != RPC_S_OK) return st;
  srv.protseq = true;
  srv.addr = addr;
  srv.port = bound;
  return RPC_S_OK;
}

// The IPv4 addresses the server is reached on, in network order. Loopback
// addresses are left out when the machine has another: these bindings are
// exported to a name service that other machines read, and a loopback address
// there would lead them to themselves.
std::vector<uint32_t> listening_addresses(uint32_t addr) {
  std::vector<uint32_t> out, loopback;
  if (addr != 0) {
    out.push_back(addr);
    return out;
  }
  struct ifaddrs* list;
  if (getifaddrs(&list) != 0) return out;
  for (struct ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP)) {
      continue;
    }
    uint32_t a = reinterpret_cast<const struct sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
    std::vector<uint32_t>& to = (ntohl(a) >> 24) == 127 ? loopback : out;
    bool seen = false;
    for (uint32_t b : to) seen = seen || a == b;
    if (!seen) to.push_back(a);
  }
  freeifaddrs(list);
  return out.empty() ? loopback : out;
}

// Stands for every port of an interface: a binding reset before its
// endpoints were unregistered (the server's bindings are reset for export).
constexpr uint16_t ANY_PORT = 0;

// The ports of a binding vector's ncacn_ip_tcp bindings; with `any`, a
// binding without an endpoint gives ANY_PORT.
RPC_STATUS binding_ports(RPC_BINDING_VECTOR* v, std::vector<uint16_t>* ports, bool any = false) {
  if (v == nullptr || v->Count == 0) return RPC_S_NO_BINDINGS;
  for (unsigned long i = 0; i < v->Count; ++i) {
    rpc_binding* b = v->BindingH[i];
    if (b == nullptr) return RPC_S_INVALID_BINDING;
    std::lock_guard<std::mutex> hold(b->mu);
    RPC_STATUS offered = rpc_protseq_status(b->protseq);
    if (offered != RPC_S_OK) return offered;
    uint16_t port = rpc_tcp_port(b->endpoint);
    if (port == 0 && !(any && b->endpoint[0] == '\0')) return RPC_S_INVALID_ENDPOINT_FORMAT;
    ports->push_back(port);
  }
  return RPC_S_OK;
}

bool same_entry(const epm_entry& e, const rpc_syntax_id& s, uint16_t port) {
  return e.iface.uuid == s.uuid && e.iface.major == s.major && e.iface.minor == s.minor &&
         (e.port == port || port == ANY_PORT);
}

}  // namespace

// ---- Protocol sequences ----

RPC_STATUS RpcServerUseProtseqA(const char* Protseq, unsigned int, void*) {
  return use_protseq(Protseq, 0);
}

RPC_STATUS RpcServerUseProtseqEpA(const char* Protseq, unsigned int, const char* Endpoint, void*) {
  uint16_t port = rpc_tcp_port(Endpoint);
  if (port == 0) return RPC_S_INVALID_ENDPOINT_FORMAT;
  return use_protseq(Protseq, port);
}

RPC_STATUS RpcServerUseAllProtseqs(unsigned int, void*) { return use_protseq(TCP_PROTSEQ, 0); }

// ---- Interfaces ----

RPC_STATUS RpcServerRegisterIf(RPC_IF_HANDLE IfSpec, const rpc_uuid* MgrTypeUuid,
                               const void* MgrEpv) {
  if (IfSpec == nullptr) return RPC_S_INVALID_ARG;
  if (MgrTypeUuid != nullptr && !(*MgrTypeUuid == rpc_uuid{})) return RPC_S_CANNOT_SUPPORT;
  const void* epv = MgrEpv != nullptr ? MgrEpv : IfSpec->default_epv;
  if (epv == nullptr) return RPC_S_UNKNOWN_MGR_TYPE;
  std::lock_guard<std::mutex> hold(srv.mu);
  if_slot* free = nullptr;
  for (if_slot& s : srv.ifs) {
    if (s.registered && s.iface == IfSpec) return RPC_S_TYPE_ALREADY_REGISTERED;
    if (!s.registered && s.active == 0 && free == nullptr) free = &s;
  }
  if (free == nullptr) return RPC_S_OUT_OF_RESOURCES;
  *free = {IfSpec, epv, true, 0};
  return RPC_S_OK;
}

RPC_STATUS RpcServerUnregisterIf(RPC_IF_HANDLE IfSpec, const rpc_uuid*,
                                 unsigned int WaitForCallsToComplete) {
  std::unique_lock<std::mutex> l(srv.mu);
  bool found = false;
  for (if_slot& s : srv.ifs) {
    if (s.registered && (IfSpec == nullptr || s.iface == IfSpec)) {
      s.registered = false;
      found = true;
    }
  }
  if (!found) return RPC_S_UNKNOWN_IF;
  if (WaitForCallsToComplete != 0) {
    srv.changed.wait(l, [IfSpec] {
      for (const if_slot& s : srv.ifs) {
        if (s.active > 0 && (IfSpec == nullptr || s.iface == IfSpec)) return false;
      }
      return true;
    });
  }
  return RPC_S_OK;
}

bool rpc_server_if_lookup(void*, const rpc_syntax_id& abstract, rpc_if_entry* out) {
  std::lock_guard<std::mutex> hold(srv.mu);
  for (const if_slot& s : srv.ifs) {
    if (s.registered && rpc_if_matches(s.iface->syntax, abstract)) {
      *out = {s.iface, s.epv};
      return true;
    }
  }
  return false;
}

bool rpc_server_epm_lookup(void* arg, const rpc_syntax_id& abstract, rpc_if_entry* out) {
  if (!rpc_if_matches(EPM_INTERFACE.syntax, abstract)) return false;
  *out = {&EPM_INTERFACE, arg};
  return true;
}

uint32_t rpc_server_call_begin(const rpc_if_entry& target, size_t buffered) {
  std::lock_guard<std::mutex> hold(srv.mu);
  if (srv.listen != LISTENING || srv.active >= srv.max_calls || buffered > RPC_MAX_BUFFERED) {
    return NCA_S_SERVER_TOO_BUSY;
  }
  for (if_slot& s : srv.ifs) {
    if (s.registered && s.iface == target.iface) {
      ++s.active;
      ++srv.active;
      return 0;
    }
  }
  return NCA_S_UNK_IF;
}

void rpc_server_call_end(const rpc_if_entry& target) {
  std::lock_guard<std::mutex> hold(srv.mu);
  for (if_slot& s : srv.ifs) {
    if (s.iface == target.iface && s.active > 0) {
      --s.active;
      break;
    }
  }
  --srv.active;
  srv.changed.notify_all();
}

// ---- Bindings and the endpoint map ----

RPC_STATUS RpcServerInqBindings(RPC_BINDING_VECTOR** BindingVector) {
  if (BindingVector == nullptr) return RPC_S_INVALID_ARG;
  *BindingVector = nullptr;
  uint32_t addr;
  uint16_t port;
  {
    std::lock_guard<std::mutex> hold(srv.mu);
    if (!srv.protseq) return RPC_S_NO_BINDINGS;
    addr = srv.addr;
    port = srv.port;
  }
  std::vector<uint32_t> addrs = listening_addresses(addr);
  if (addrs.empty()) return RPC_S_NO_BINDINGS;
  auto* v = static_cast<RPC_BINDING_VECTOR*>(qor_malloc(sizeof(RPC_BINDING_VECTOR)));
  if (v == nullptr) return RPC_S_OUT_OF_MEMORY;
  v->Count = addrs.size();
  v->BindingH =
      static_cast<RPC_BINDING_HANDLE*>(qor_calloc(addrs.size(), sizeof(RPC_BINDING_HANDLE)));
  if (v->BindingH == nullptr) {
    qor_free(v);
    return RPC_S_OUT_OF_MEMORY;
  }
  char port_text[8];
  std::snprintf(port_text, sizeof port_text, "%u", static_cast<unsigned>(port));
  for (size_t i = 0; i < addrs.size(); ++i) {
    char host[16];
    struct in_addr a;
    a.s_addr = addrs[i];
    char* text;
    RPC_STATUS st = RpcStringBindingComposeA(nullptr, TCP_PROTSEQ, qor_inet_ntoa(a, host),
                                             port_text, nullptr, &text);
    if (st == RPC_S_OK) {
      st = RpcBindingFromStringBindingA(text, &v->BindingH[i]);
      RpcStringFreeA(&text);
    }
    if (st != RPC_S_OK) {
      RpcBindingVectorFree(&v);
      return st;
    }
  }
  *BindingVector = v;
  return RPC_S_OK;
}

RPC_STATUS RpcEpRegisterA(RPC_IF_HANDLE IfSpec, RPC_BINDING_VECTOR* BindingVector, void* UuidVector,
                          const char* Annotation) {
  if (IfSpec == nullptr) return RPC_S_INVALID_ARG;
  if (UuidVector != nullptr) return RPC_S_CANNOT_SUPPORT;
  std::vector<uint16_t> ports;
  RPC_STATUS st = binding_ports(BindingVector, &ports);
  if (st != RPC_S_OK) return st;
  // The settings are read without the server's lock, which every call takes:
  // a setting's guard may keep the reader waiting on another process.
  uint32_t want = NS__GetRegInt("RpcEpmapperPort", DEFAULT_EPMAPPER_PORT);
  uint32_t listen_addr;
  RPC_STATUS listen_st = read_listen_address(&listen_addr);
  std::lock_guard<std::mutex> hold(srv.mu);
  if (srv.mapper_port == 0) {
    uint32_t addr = srv.protseq ? srv.addr : listen_addr;
    if (!srv.protseq && listen_st != RPC_S_OK) return EPT_S_CANT_PERFORM_OP;
    // The map cannot be served: the port is taken or not a port.
    uint16_t bound;
    if (want > 65535 || rpc_net_open(RPC_ENDPOINT_MAPPER, addr, static_cast<uint16_t>(want), 0,
                                     &bound) != RPC_S_OK) {
      return EPT_S_CANT_PERFORM_OP;
    }
    srv.mapper_port = bound;
  }
  for (uint16_t port : ports) {
    // Registering again replaces the earlier entry.
    std::erase_if(srv.epm, [&](const epm_entry& e) { return same_entry(e, IfSpec->syntax, port); });
    epm_entry e{};
    e.iface = IfSpec->syntax;
    e.port = port;
    if (Annotation != nullptr) std::strncpy(e.annotation, Annotation, sizeof e.annotation - 1);
    srv.epm.push_back(e);
  }
  return RPC_S_OK;
}

RPC_STATUS RpcEpUnregister(RPC_IF_HANDLE IfSpec, RPC_BINDING_VECTOR* BindingVector,
                           void* UuidVector) {
  if (IfSpec == nullptr) return RPC_S_INVALID_ARG;
  if (UuidVector != nullptr) return RPC_S_CANNOT_SUPPORT;
  std::vector<uint16_t> ports;
  RPC_STATUS st = binding_ports(BindingVector, &ports, true);
  if (st != RPC_S_OK) return st;
  std::lock_guard<std::mutex> hold(srv.mu);
  size_t removed = 0;
  for (uint16_t port : ports) {
    removed += std::erase_if(
        srv.epm, [&](const epm_entry& e) { return same_entry(e, IfSpec->syntax, port); });
  }
  return removed > 0 ? RPC_S_OK : EPT_S_NOT_REGISTERED;
}

// ---- Listening ----

RPC_STATUS RpcServerListen(unsigned int MinimumCallThreads, unsigned int MaxCalls,
                           unsigned int DontWait) {
  if (MaxCalls == 0) return RPC_S_MAX_CALLS_TOO_SMALL;
  {
    std::lock_guard<std::mutex> life(srv.life);
    {
      std::lock_guard<std::mutex> hold(srv.mu);
      if (!srv.protseq) return RPC_S_NO_PROTSEQS_REGISTERED;
      if (srv.listen != NOT_LISTENING) return RPC_S_ALREADY_LISTENING;
      srv.listen = LISTENING;
      ++srv.generation;
      srv.max_calls = MaxCalls;
    }
    RPC_STATUS st = rpc_net_listen(MinimumCallThreads, MaxCalls);
    if (st != RPC_S_OK) {
      std::lock_guard<std::mutex> hold(srv.mu);
      srv.listen = NOT_LISTENING;
      return st;
    }
  }
  return DontWait != 0 ? RPC_S_OK : RpcMgmtWaitServerListen();
}

RPC_STATUS RpcMgmtStopServerListening(RPC_BINDING_HANDLE Binding) {
  // Another server is not stopped over the network.
  if (Binding != nullptr) return RPC_S_CANNOT_SUPPORT;
  std::lock_guard<std::mutex> life(srv.life);
  {
    std::lock_guard<std::mutex> hold(srv.mu);
    if (srv.listen == STOPPING) return RPC_S_OK;
    if (srv.listen != LISTENING) return RPC_S_NOT_LISTENING;
    srv.listen = STOPPING;
    srv.changed.notify_all();
  }
  rpc_net_stop();
  return RPC_S_OK;
}

RPC_STATUS RpcMgmtWaitServerListen() {
  unsigned generation;
  {
    std::unique_lock<std::mutex> l(srv.mu);
    if (srv.listen == NOT_LISTENING) return RPC_S_NOT_LISTENING;
    generation = srv.generation;
    srv.changed.wait(
        l, [generation] { return srv.listen != LISTENING || srv.generation != generation; });
    if (srv.listen != STOPPING || srv.generation != generation) return RPC_S_OK;
  }
  // Connections close as their calls end; the threads end with the last.
  // Not under `life`: a manager may still stop listening meanwhile.
  rpc_net_wait();
  std::lock_guard<std::mutex> hold(srv.mu);
  if (srv.generation == generation) srv.listen = NOT_LISTENING;
  srv.changed.notify_all();
  return RPC_S_OK;
}

// ---- Tests and tools ----

void rpc_server_reset() {
  RpcMgmtStopServerListening(nullptr);
  RpcMgmtWaitServerListen();
  rpc_net_close();
  std::lock_guard<std::mutex> hold(srv.mu);
  srv.protseq = false;
  srv.addr = 0;
  srv.port = 0;
  srv.mapper_port = 0;
  for (if_slot& s : srv.ifs) s = if_slot{};
  srv.epm.clear();
  srv.active = 0;
}

uint16_t rpc_server_epmapper_port() {
  std::lock_guard<std::mutex> hold(srv.mu);
  return srv.mapper_port;
}
