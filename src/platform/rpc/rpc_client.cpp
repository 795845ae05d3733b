// The client half of the runtime: calls on binding handles over ncacn_ip_tcp,
// on plain non-blocking sockets with poll for the time limits, and the
// resolution of dynamic endpoints with ept_map at the host's endpoint mapper.
//
// A handle keeps the connections of its finished calls (rpc_binding.h) and
// hands one to the next call; concurrent calls open further connections.
// How a call can fail, and what it reports:
//   no connection (refused, unreachable, unknown host, no answer to the TCP
//   connect or to the bind within RpcConnectTimeout)        1722
//   the bind refused: unknown interface 1717, too busy 1723, other bind_nak reasons
//   the request not taken by the server (see request_refused)   1727
//   the connection lost after the request went out          1726
//   no reply within RpcCallTimeout                          1818
//   a fault: its status (rpc_nca_to_status); a generic failure flagged
//   did-not-execute                                         1727
// A kept connection that turns out to be dead when the next call uses it is
// replaced by a fresh one, and the call is sent again, only when the server
// certainly did not take the request; see rpc_binding_call.
#include <errno.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "platform/hostlookup.h"
#include "platform/memory.h"
#include "platform/rpc/epm.h"
#include "platform/rpc/rpc_binding.h"
#include "platform/rpc/rpc_server.h"
#include "platform/rpc/string_binding.h"
#include "service/qorutil.h"

namespace {

using steady = std::chrono::steady_clock;

constexpr uint32_t DEFAULT_CONNECT_TIMEOUT_S = 10;
constexpr uint32_t DEFAULT_CALL_TIMEOUT_S = 0;  // none
constexpr uint32_t DEFAULT_EPMAPPER_PORT = 135;
// Towers asked of the endpoint mapper; the first TCP one is used.
constexpr uint32_t EPM_MAP_MAX_TOWERS = 4;
constexpr size_t RECV_CHUNK = 8192;

// ---- Time limits ----

// The moment a wait gives up; `none` waits for ever.
struct deadline {
  bool none;
  steady::time_point at;
};

deadline after_seconds(uint32_t seconds) {
  if (seconds == 0) return {true, {}};
  return {false, steady::now() + std::chrono::seconds(seconds)};
}

// Milliseconds left for poll: -1 without a limit, 0 once passed.
int ms_left(const deadline& d) {
  if (d.none) return -1;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(d.at - steady::now()).count();
  if (left <= 0) return 0;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// Waits until fd is ready for `events` (or has an error to report): 1; 0 when
// the deadline passed; -1 with errno.
int wait_for(int fd, short events, const deadline& d) {
  for (;;) {
    pollfd p = {fd, events, 0};
    int n = poll(&p, 1, ms_left(d));
    if (n >= 0) return n;
    if (errno != EINTR) return -1;
  }
}

// ---- Socket I/O ----

// Writes all of `data`: 0, or -1 with errno (ETIMEDOUT when the deadline passed).
int send_all(int fd, const uint8_t* data, size_t len, const deadline& d) {
  size_t off = 0;
  while (off < len) {
    ssize_t n = send(fd, data + off, len - off, MSG_NOSIGNAL);
    if (n > 0) {
      off += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    int w = wait_for(fd, POLLOUT, d);
    if (w <= 0) {
      if (w == 0) errno = ETIMEDOUT;
      return -1;
    }
  }
  return 0;
}

// Reads what has arrived, waiting for it until the deadline: the byte count,
// 0 at the end of the stream, or -1 with errno (ETIMEDOUT when the deadline passed).
// With `wait_first` (an answer just asked for is seldom there yet) it waits
// before the first read rather than read in vain.
ssize_t recv_some(int fd, uint8_t* buf, size_t cap, const deadline& d, bool wait_first) {
  for (bool wait = wait_first;; wait = true) {
    if (wait) {
      // A server call thread forwarding this call would otherwise leave the
      // server's other connections unwatched while it waits.
      rpc_net_blocking();
      int w = wait_for(fd, POLLIN, d);
      if (w <= 0) {
        if (w == 0) errno = ETIMEDOUT;
        return -1;
      }
    }
    ssize_t n = recv(fd, buf, cap, 0);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
  }
}

// A TCP connection to addr:port established before the deadline, or -1.
int tcp_connect(in_addr addr, uint16_t port, const deadline& d) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr = addr;
  int r = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  if (r != 0 && errno == EINPROGRESS && wait_for(fd, POLLOUT, d) == 1) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) r = 0;
  }
  if (r != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // requests are small and whole
  return fd;
}

// After the connection ended or failed before any byte of the reply: whether
// the server certainly did not take the request. A socket closed with our
// bytes still unread answers them with a reset, and a server that closed
// before they arrived never acknowledges them (SIOCOUTQ counts the bytes
// written and not acknowledged, sent or not). A server that read the request
// and then closed has acknowledged every byte with its FIN: the call may have
// run. (A server that ran the call and then aborted the connection with a
// reset instead of a FIN would be taken for one that refused it.)
bool request_refused(int fd) {
  tcp_info ti = {};
  socklen_t len = sizeof ti;
  int unacked = 0;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &ti, &len) != 0 || ioctl(fd, SIOCOUTQ, &unacked) != 0) {
    return false;
  }
  return ti.tcpi_state != TCP_CLOSE_WAIT || unacked != 0;
}

// A kept connection is still usable when nothing is waiting to be read on
// it: the server neither closed nor reset it, nor sent anything unasked. One
// given back within the last second is taken as it is: servers close idle
// connections after far longer, and one closed meanwhile by a server that
// stopped refuses the request, which then goes on a fresh connection.
bool still_open(const rpc_conn* c) {
  if (steady::now() - c->kept_at < std::chrono::seconds(1)) return true;
  pollfd p = {c->fd, POLLIN | POLLRDHUP, 0};
  return poll(&p, 1, 0) == 0;
}

// ---- Where a call goes ----

// The handle's parts that a call needs, copied under its lock so that a reset
// on another thread cannot pull them away.
struct target {
  char host[256];
  uint16_t port;
  bool has_object;
  rpc_uuid object;
  uint32_t connect_s;
  uint32_t call_s;
  uint16_t epmapper_port;
  uint32_t pool_id;
};

bool same_syntax(const rpc_syntax_id& a, const rpc_syntax_id& b) {
  return a.uuid == b.uuid && a.major == b.major && a.minor == b.minor;
}

// Reads the handle's limits from the settings the first time. REQUIRES b->mu.
void load_limits(rpc_binding* b) {
  if (b->limits_read) return;
  b->connect_timeout_s = NS__GetRegInt("RpcConnectTimeout", DEFAULT_CONNECT_TIMEOUT_S);
  b->call_timeout_s = NS__GetRegInt("RpcCallTimeout", DEFAULT_CALL_TIMEOUT_S);
  uint32_t port = NS__GetRegInt("RpcEpmapperPort", DEFAULT_EPMAPPER_PORT);
  b->epmapper_port =
      static_cast<uint16_t>(port >= 1 && port <= 65535 ? port : DEFAULT_EPMAPPER_PORT);
  b->limits_read = true;
}

// Fills *t from the handle. *resolved tells whether the endpoint is known
// (t->port is then set). RPC_S_OK; 1702 no handle; 1703 a protocol sequence
// other runtimes offer, 1704 one nobody does; 1707 an address too long to be a host;
// 1706 an endpoint that is not a port; 1705 an object UUID that does not parse.
RPC_STATUS snapshot(rpc_binding* b, target* t, bool* resolved) {
  if (b == nullptr) return RPC_S_INVALID_BINDING;
  std::lock_guard<std::mutex> hold(b->mu);
  RPC_STATUS offered = rpc_protseq_status(b->protseq);
  if (offered != RPC_S_OK) return offered;
  if (strlen(b->netaddr) >= sizeof t->host) return RPC_S_INVALID_NET_ADDR;
  strcpy(t->host, b->netaddr);
  *resolved = b->endpoint[0] != '\0';
  t->port = *resolved ? rpc_tcp_port(b->endpoint) : 0;
  if (*resolved && t->port == 0) return RPC_S_INVALID_ENDPOINT_FORMAT;
  t->has_object = b->object_uuid[0] != '\0';
  if (t->has_object && !rpc_uuid_parse(b->object_uuid, &t->object)) {
    return RPC_S_INVALID_STRING_UUID;
  }
  load_limits(b);
  t->connect_s = b->connect_timeout_s;
  t->call_s = b->call_timeout_s;
  t->epmapper_port = b->epmapper_port;
  t->pool_id = b->pool->id;
  return RPC_S_OK;
}

// The IPv4 addresses of a host: a dotted literal, a name the host lookups
// know, or this machine for an empty address. 1722 for a name that does not
// resolve, 14 when memory runs out.
struct addr_list {
  uint32_t n;
  in_addr a[QOR_HOST_MAX_ADDRS];
};

RPC_STATUS host_addrs(const char* host, addr_list* out) {
  out->n = 1;
  if (host[0] == '\0') {
    out->a[0].s_addr = htonl(INADDR_LOOPBACK);
    return RPC_S_OK;
  }
  if (qor_inet_addr(host, &out->a[0])) return RPC_S_OK;
  qor_hostent* h = nullptr;
  int st = qor_host_by_name(host, &h);
  if (st == WSA_NOT_ENOUGH_MEMORY) return RPC_S_OUT_OF_MEMORY;
  if (st != QOR_HOST_OK) return RPC_S_SERVER_UNAVAILABLE;
  out->n = h->naddrs;
  memcpy(out->a, h->addrs, h->naddrs * sizeof(in_addr));
  qor_host_free(h);
  return RPC_S_OK;
}

// ---- One connection ----

// Closes a connection on every way out of the function holding it, also when
// memory runs out inside a std::vector.
struct conn_closer {
  void operator()(rpc_conn* c) const { rpc_conn_close(c); }
};
using conn_ptr = std::unique_ptr<rpc_conn, conn_closer>;

enum wait_end { WAIT_ANSWER, WAIT_CLOSED, WAIT_TIMEOUT };

// Reads until the connection machine has the answer to the bind or call in
// progress: WAIT_ANSWER with *status (RPC_S_OK and *event, or the machine's
// failure status); WAIT_CLOSED when the stream ended or failed first (*got:
// some bytes of the answer had come); WAIT_TIMEOUT when the deadline passed.
wait_end await_answer(rpc_conn* c, const deadline& d, int* status, int* event, bool* got) {
  uint8_t buf[RECV_CHUNK];
  *got = false;
  for (;;) {
    ssize_t n = recv_some(c->fd, buf, sizeof buf, d, !*got);
    if (n < 0 && errno == ETIMEDOUT) return WAIT_TIMEOUT;
    if (n <= 0) return WAIT_CLOSED;
    *got = true;
    size_t used;
    *status = rpc_cconn_receive(&c->cc, buf, static_cast<size_t>(n), &used, event);
    if (*status == RPC_S_OK && *event == RPC_CCONN_MORE) continue;
    // Bytes beyond the answer: the server is out of step with the calls.
    if (used != static_cast<size_t>(n)) c->cc.broken = true;
    return WAIT_ANSWER;
  }
}

// Opens a connection to one of the host's addresses (each tried in turn,
// each with RpcConnectTimeout for the TCP connect and the bind) and binds it
// to `iface`. RPC_S_OK with *out; 1722 when no address accepts a connection
// and answers the bind in time; the bind's refusal (1717, 1723, ...); 14.
RPC_STATUS conn_open(const target& t, uint16_t port, const rpc_syntax_id& iface, rpc_conn** out) {
  *out = nullptr;
  addr_list addrs;
  RPC_STATUS st = host_addrs(t.host, &addrs);
  if (st != RPC_S_OK) return st;
  for (uint32_t i = 0; i < addrs.n; ++i) {
    deadline d = after_seconds(t.connect_s);
    int fd = tcp_connect(addrs.a[i], port, d);
    if (fd < 0) continue;
    conn_ptr c(new (std::nothrow) rpc_conn);
    if (c == nullptr) {
      close(fd);
      return RPC_S_OUT_OF_MEMORY;
    }
    c->fd = fd;
    c->next_call_id = 1;
    c->pool_id = t.pool_id;
    rpc_cconn_init(&c->cc, iface, 0);
    std::vector<uint8_t> bind;
    rpc_cconn_make_bind(&c->cc, c->next_call_id++, &bind);
    int answer, event;
    bool got;
    st = RPC_S_SERVER_UNAVAILABLE;  // no answer to the bind: no server there for us
    if (send_all(fd, bind.data(), bind.size(), d) == 0 &&
        await_answer(c.get(), d, &answer, &event, &got) == WAIT_ANSWER) {
      st = answer != RPC_S_OK ? answer : event == RPC_CCONN_BOUND ? RPC_S_OK : RPC_S_PROTOCOL_ERROR;
    }
    if (st == RPC_S_OK) {
      *out = c.release();
      return RPC_S_OK;
    }
    c.reset();
    // A server that answered the bind has spoken for the host; silence or a
    // lost connection sends the bind to the next address.
    if (st != RPC_S_SERVER_UNAVAILABLE) return st;
  }
  return RPC_S_SERVER_UNAVAILABLE;
}

// One call on a bound connection. Marks the connection broken whenever it
// cannot carry another call; sets *refused when the server certainly did not
// take the request.
RPC_STATUS conn_call(rpc_conn* c, const target& t, uint16_t opnum,
                     const std::vector<uint8_t>& request, std::vector<uint8_t>* reply,
                     bool* refused) {
  *refused = false;
  std::vector<uint8_t> pdus;
  int st =
      rpc_cconn_make_request(&c->cc, c->next_call_id++, opnum, t.has_object ? &t.object : nullptr,
                             request.data(), request.size(), &pdus);
  if (st != RPC_S_OK) return st;
  deadline d = after_seconds(t.call_s);
  if (send_all(c->fd, pdus.data(), pdus.size(), d) != 0) {
    c->cc.broken = true;
    if (errno == ETIMEDOUT) return RPC_S_CALL_CANCELLED;
    *refused = true;  // the request did not go out whole: it cannot have run
    return RPC_S_CALL_FAILED_DNE;
  }
  int event;
  bool got;
  switch (await_answer(c, d, &st, &event, &got)) {
    case WAIT_TIMEOUT:
      // The reply may still come; the connection cannot be used for another call.
      c->cc.broken = true;
      return RPC_S_CALL_CANCELLED;
    case WAIT_CLOSED:
      c->cc.broken = true;
      if (!got && request_refused(c->fd)) {
        *refused = true;
        return RPC_S_CALL_FAILED_DNE;
      }
      return RPC_S_CALL_FAILED;
    case WAIT_ANSWER:
      break;
  }
  if (st == RPC_S_OK) {
    size_t len;
    const uint8_t* stub = rpc_cconn_reply(&c->cc, &len);
    reply->assign(stub, stub + len);
    return RPC_S_OK;
  }
  // A generic failure that the server says never started is the failure
  // that may be retried.
  if (st == RPC_S_CALL_FAILED && c->cc.fault_dne) return RPC_S_CALL_FAILED_DNE;
  return st;
}

// A kept connection for `iface`, still open, or null. Kept connections found
// closed meanwhile are closed here.
rpc_conn* take_idle(rpc_binding* b, const rpc_syntax_id& iface) {
  rpc_conn_pool* p = rpc_binding_pool(b);
  rpc_conn* found = nullptr;
  {
    std::lock_guard<std::mutex> hold(p->mu);
    for (size_t i = p->n_idle; found == nullptr && i-- > 0;) {
      rpc_conn* c = p->idle[i];
      if (!same_syntax(c->cc.iface, iface)) continue;
      p->idle[i] = p->idle[--p->n_idle];
      if (still_open(c)) {
        found = c;
      } else {
        rpc_conn_close(c);
      }
    }
  }
  rpc_pool_release(p);
  return found;
}

// Keeps a connection that can carry further calls and was opened for the
// handle's pool (not before its last reset); closes it otherwise.
void give_back(rpc_binding* b, rpc_conn* c) {
  rpc_conn_pool* p = rpc_binding_pool(b);
  bool kept = false;
  // The reply has been copied out; a large one's buffer is not kept idle.
  if (c->cc.reasm.cap > RPC_KEEP_BUFFER) rpc_reasm_release(&c->cc.reasm);
  if (!c->cc.broken && c->pool_id == p->id) {
    std::lock_guard<std::mutex> hold(p->mu);
    if (p->n_idle < RPC_MAX_IDLE_CONNS) {
      c->kept_at = steady::now();
      p->idle[p->n_idle++] = c;
      kept = true;
    }
  }
  rpc_pool_release(p);
  if (!kept) rpc_conn_close(c);
}

}  // namespace

// The runtime's calls answer a status and never throw: memory exhausted
// inside a std::vector answers 14 (RPC_S_OUT_OF_MEMORY), and a connection
// open at that moment is closed by its holder.
RPC_STATUS RpcEpResolveBinding(RPC_BINDING_HANDLE Binding, RPC_IF_HANDLE IfSpec) try {
  if (IfSpec == nullptr) return RPC_S_INVALID_ARG;
  target t;
  bool resolved;
  RPC_STATUS st = snapshot(Binding, &t, &resolved);
  if (st != RPC_S_OK || resolved) return st;

  // The mapper is asked for the interface over NDR 2.0, CO RPC and TCP; an
  // object UUID of the handle selects the object's registrations.
  epm_tower want = {IfSpec->syntax, RPC_NDR20_SYNTAX, EPM_FLOOR_RPC_CO, EPM_FLOOR_TCP, 0, {}};
  rpc_uuid nil = {};
  std::vector<uint8_t> request, reply;
  epm_encode_map_request(t.has_object ? &t.object : &nil, want, EPM_MAP_MAX_TOWERS, &request);
  t.has_object = false;  // the object travels inside the ept_map request, not in its header
  rpc_conn* opened;
  st = conn_open(t, t.epmapper_port, RPC_EPM_SYNTAX, &opened);
  if (st != RPC_S_OK) return st;
  conn_ptr c(opened);
  bool refused;
  st = conn_call(c.get(), t, EPT_OP_MAP, request, &reply, &refused);
  c.reset();
  if (st != RPC_S_OK) return st;

  epm_map_reply r;
  uint32_t nca = epm_decode_map_reply(reply.data(), reply.size(), &r);
  if (nca != 0) return rpc_nca_to_status(nca);
  if (r.status != 0) return epm_status(r.status);
  uint16_t port = 0;
  for (uint32_t i = 0; i < r.n && port == 0; ++i) {
    if (r.towers[i].transport == EPM_FLOOR_TCP) port = r.towers[i].port;
  }
  if (port == 0) return EPT_S_NOT_REGISTERED;

  char text[8];
  snprintf(text, sizeof text, "%u", port);
  char* endpoint = qor_strdup(text);
  if (endpoint == nullptr) return RPC_S_OUT_OF_MEMORY;
  std::lock_guard<std::mutex> hold(Binding->mu);
  // Another call on the handle may have resolved it meanwhile: the same answer.
  if (Binding->endpoint[0] == '\0') std::swap(Binding->endpoint, endpoint);
  qor_free(endpoint);
  return RPC_S_OK;
} catch (const std::bad_alloc&) {
  return RPC_S_OUT_OF_MEMORY;
}

// A call takes a kept connection when there is one, else opens one. When a
// kept connection fails in a way that shows the server never took the request
// (the send fails, or the stream ends or is reset before any reply byte with
// our bytes unacknowledged or refused), the server had closed it while it was
// idle: the call is sent once more on a fresh connection, whose outcome is
// final. Whenever the request may have reached the server, the failure is
// reported (1726) and nothing is sent again, so a call never runs twice.
RPC_STATUS rpc_binding_call(RPC_BINDING_HANDLE Binding, RPC_IF_HANDLE IfSpec, uint16_t opnum,
                            const std::vector<uint8_t>& request, std::vector<uint8_t>* reply) try {
  if (reply == nullptr || IfSpec == nullptr) return RPC_S_INVALID_ARG;
  reply->clear();
  target t;
  bool resolved;
  RPC_STATUS st = snapshot(Binding, &t, &resolved);
  if (st == RPC_S_OK && !resolved) {
    st = RpcEpResolveBinding(Binding, IfSpec);
    // The mapper lost this call's request, not the server: it never went
    // out, and the caller may try the server's other bindings.
    if (st == RPC_S_CALL_FAILED) st = RPC_S_SERVER_UNAVAILABLE;
    if (st == RPC_S_OK) st = snapshot(Binding, &t, &resolved);
  }
  if (st != RPC_S_OK) return st;

  bool fresh_only = false;
  for (;;) {
    conn_ptr c(fresh_only ? nullptr : take_idle(Binding, IfSpec->syntax));
    bool kept = c != nullptr;
    if (!kept) {
      rpc_conn* opened;
      st = conn_open(t, t.port, IfSpec->syntax, &opened);
      if (st != RPC_S_OK) return st;
      c.reset(opened);
    }
    bool refused;
    st = conn_call(c.get(), t, opnum, request, reply, &refused);
    give_back(Binding, c.release());
    if (!(kept && refused)) return st;
    fresh_only = true;
  }
} catch (const std::bad_alloc&) {
  reply->clear();
  return RPC_S_OUT_OF_MEMORY;
}
