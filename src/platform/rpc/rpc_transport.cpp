// The RPC server's network side: listening endpoints, connections driven
// through the server connection machine (assoc.h), the call threads and the
// watcher that keeps them unstuck. The only translation unit with Asio.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio.hpp>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/rpc/rpc_server.h"

namespace {

using asio::ip::tcp;

// Bytes read from a socket at a time.
constexpr size_t READ_BUFFER = 4096;
// The watcher closes connections past their deadline, and retries accepting
// on an endpoint that ran out of descriptors, this often.
constexpr unsigned SWEEP_MS = 1000;
// The watcher keeps ticking this long after the last call it saw, so that a
// steady flow of calls never has to wake it.
constexpr unsigned WATCH_LINGER_MS = 1000;

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// What a connection is doing, as the watcher sees it.
constexpr int PHASE_BUSY = 0;     // its handler runs (a call may be in progress): no deadline
constexpr int PHASE_READING = 1;  // waiting for bytes, until its deadline
constexpr int PHASE_WRITING = 2;  // a reply waits for the client to take it, until its deadline

struct endpoint {
  explicit endpoint(asio::io_context& io) : acc(io) {}
  tcp::acceptor acc;
  int kind;
  uint16_t port;
  char sec_addr[8];  // the port in decimal, for bind_ack
  bool accepting;    // an accept is pending (GUARDED_BY(net.mu))
  bool paused;       // accepting failed for lack of resources; the watcher retries
};

struct conn {
  explicit conn(tcp::socket s) : sock(std::move(s)) {}
  tcp::socket sock;
  int fd;
  endpoint* ep;
  rpc_server_conn sc;
  uint8_t local_addr[4];  // where the connection arrived (mapper towers)
  std::atomic<int> phase{PHASE_BUSY};
  std::atomic<int64_t> deadline{0};
  int64_t pdu_since = 0;  // when the PDU being received began; 0: none begun
  size_t counted = 0;     // this connection's share of net.buffered
  bool close_after_write = false;
  size_t in_off = 0;
  size_t in_len = 0;
  std::vector<uint8_t> out;
  conn* prev = nullptr;  // GUARDED_BY(net.mu)
  conn* next = nullptr;  // GUARDED_BY(net.mu)
  uint8_t in[READ_BUFFER];
};

struct net_state {
  std::unique_ptr<asio::io_context> io;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
  rpc_assoc_groups* groups = nullptr;

  std::mutex mu;
  std::vector<endpoint*> endpoints;  // GUARDED_BY(mu)
  conn* conns = nullptr;             // GUARDED_BY(mu)
  size_t n_conns = 0;                // GUARDED_BY(mu)
  bool accepting = false;            // GUARDED_BY(mu): endpoints accept while listening
  std::atomic<bool> stopping{false};
  std::atomic<size_t> buffered{0};
  unsigned idle_ms = RPC_IDLE_TIMEOUT_MS;
  unsigned pdu_ms = RPC_PDU_TIMEOUT_MS;
  unsigned idle_override = 0;
  unsigned pdu_override = 0;

  // The pool. polling: threads inside run_one; busy: threads inside a
  // manager; completed: calls ended so far.
  std::mutex pool_mu;
  std::condition_variable pool_cv;
  std::vector<std::thread> threads;  // GUARDED_BY(pool_mu)
  size_t parked = 0;                 // GUARDED_BY(pool_mu)
  size_t wakeups = 0;                // GUARDED_BY(pool_mu)
  size_t max_threads = 0;            // GUARDED_BY(pool_mu)
  size_t cores = 1;                  // set when listening starts
  bool pool_done = false;            // GUARDED_BY(pool_mu)
  std::atomic<size_t> polling{0};
  std::atomic<size_t> busy{0};
  std::atomic<uint64_t> completed{0};

  // The watcher.
  std::thread watcher;
  std::mutex watch_mu;
  std::condition_variable watch_cv;
  bool watch_done = false;  // GUARDED_BY(watch_mu)
  std::atomic<bool> watch_sleeping{false};

  std::mutex wait_mu;  // one joiner at a time in rpc_net_wait
  bool joined = true;  // GUARDED_BY(wait_mu)
};

net_state net;

// Set while this thread runs a call of the server.
thread_local bool t_in_call = false;
// When a call thread last waited on something slow (rpc_net_blocking).
std::atomic<int64_t> last_blocking_ms{0};
// While calls keep waiting on other servers, spare pollers stay in the loop
// rather than park and be called in again for every call.
constexpr int64_t BLOCKING_LINGER_MS = 20;

void conn_read(conn* c);
void conn_feed(conn* c);
void conn_drain(conn* c);

// ---- Memory held in buffers ----

// Brings this connection's share of net.buffered up to date: the request it
// is reassembling and the replies it has not sent. Up to RPC_KEEP_BUFFER,
// what an idle connection keeps anyway, nothing is counted: idle connections
// never make the server refuse calls, and an ordinary call never touches the
// shared count.
void account(conn* c) {
  size_t now = c->sc.reasm.len + c->out.size() + c->sc.out.size();
  if (now <= RPC_KEEP_BUFFER) now = 0;
  if (now >= c->counted) {
    net.buffered.fetch_add(now - c->counted);
  } else {
    net.buffered.fetch_sub(c->counted - now);
  }
  c->counted = now;
}

// ---- Connections ----

void conn_close(conn* c) {
  {
    std::lock_guard<std::mutex> hold(net.mu);
    if (c->prev != nullptr) {
      c->prev->next = c->next;
    } else {
      net.conns = c->next;
    }
    if (c->next != nullptr) c->next->prev = c->prev;
    --net.n_conns;
  }
  // Out of the list, the watcher no longer touches the descriptor.
  net.buffered.fetch_sub(c->counted);
  rpc_sconn_release(&c->sc);
  asio::error_code ignored;
  c->sock.close(ignored);
  delete c;
}

// Ends a connection the server gave up on (a bind refused, a protocol error)
// once its last answer is queued. Closing a socket with input unread makes the
// kernel reset it and drop the replies still queued, the fault that says why
// among them; so the sending side is shut instead, and what the client still
// sends is read and dropped until it hangs up too, or for the PDU time.
void conn_linger(conn* c) {
  if (net.stopping.load() || ::shutdown(c->fd, SHUT_WR) != 0) return conn_close(c);
  rpc_sconn_release(&c->sc);  // a refused request's buffer goes now, not at the close
  account(c);
  c->deadline.store(now_ms() + net.pdu_ms);
  conn_drain(c);
}

void conn_drain(conn* c) {
  c->phase.store(PHASE_READING);
  c->sock.async_read_some(asio::buffer(c->in, READ_BUFFER),
                          [c](const asio::error_code& ec, size_t) {
                            c->phase.store(PHASE_BUSY);
                            if (ec || net.stopping.load()) return conn_close(c);
                            conn_drain(c);
                          });
}

// Sends everything queued, then goes on with the input left (or closes).
// Each PDU goes out whole in one write: some clients read a bind_ack with a
// single receive.
void conn_send(conn* c, bool close_after) {
  rpc_sconn_take_output(&c->sc, &c->out);
  if (c->out.empty()) {
    if (close_after) return conn_linger(c);
    return conn_feed(c);
  }
  ssize_t n = ::send(c->fd, c->out.data(), c->out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n == static_cast<ssize_t>(c->out.size())) {
    rpc_trim_buffer(&c->out);
    if (close_after) return conn_linger(c);
    return conn_feed(c);
  }
  if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return conn_close(c);
  size_t sent = n > 0 ? static_cast<size_t>(n) : 0;
  c->close_after_write = close_after;
  account(c);
  c->deadline.store(now_ms() + net.pdu_ms);
  c->phase.store(PHASE_WRITING);
  asio::async_write(c->sock, asio::buffer(c->out.data() + sent, c->out.size() - sent),
                    [c](const asio::error_code& ec, size_t) {
                      c->phase.store(PHASE_BUSY);
                      if (ec) return conn_close(c);
                      rpc_trim_buffer(&c->out);
                      account(c);
                      if (c->close_after_write) return conn_linger(c);
                      conn_feed(c);
                    });
}

// Runs the call's stub and manager. Whatever they throw (memory exhausted
// inside a std::vector, an exception a manager lets out) ends the call with a
// fault instead of ending the call thread, and with it the process; the
// fragments of a reply cut short are dropped.
void execute(conn* c) {
  size_t queued = c->sc.out.size();
  uint32_t fault;
  try {
    rpc_sconn_execute(&c->sc);
    return;
  } catch (const std::bad_alloc&) {
    fault = NCA_S_FAULT_REMOTE_NO_MEMORY;
  } catch (...) {
    fault = NCA_S_FAULT_UNSPEC;
  }
  c->sc.out.resize(queued);
  rpc_sconn_finish(&c->sc, {fault, true}, nullptr, 0);
}

// Runs the call the machine holds, on this thread.
void conn_call(conn* c) {
  const rpc_if_entry target = rpc_sconn_call(&c->sc)->target;
  if (c->ep->kind == RPC_ENDPOINT_MAPPER) {
    // Answered from memory at once: never refused, never counted.
    execute(c);
    return;
  }
  uint32_t fault = rpc_server_call_begin(target, net.buffered.load(std::memory_order_relaxed));
  if (fault != 0) {
    rpc_sconn_finish(&c->sc, {fault, false}, nullptr, 0);
    return;
  }
  net.busy.fetch_add(1);
  if (net.watch_sleeping.load()) {
    std::lock_guard<std::mutex> hold(net.watch_mu);
    net.watch_cv.notify_one();
  }
  t_in_call = true;
  execute(c);
  t_in_call = false;
  net.busy.fetch_sub(1);
  net.completed.fetch_add(1, std::memory_order_relaxed);
  rpc_server_call_end(target);
}

// Feeds the input not yet taken to the machine, runs the calls it completes
// and sends what it answers; reads more once everything is taken.
void conn_feed(conn* c) {
  while (c->in_off < c->in_len) {
    size_t used;
    int st = rpc_sconn_receive(&c->sc, c->in + c->in_off, c->in_len - c->in_off, &used);
    c->in_off += used;
    account(c);
    if (net.buffered.load(std::memory_order_relaxed) > RPC_MAX_BUFFERED &&
        c->sc.reasm.cap > RPC_KEEP_BUFFER) {
      return conn_close(c);
    }
    if (st == RPC_SCONN_CLOSE) return conn_send(c, true);
    if (st == RPC_SCONN_CALL) {
      conn_call(c);
      // The reply goes out before the next request is looked at, so a
      // client sending many requests at once cannot pile up their replies.
      return conn_send(c, false);
    }
  }
  if (!c->sc.out.empty()) return conn_send(c, false);
  account(c);
  conn_read(c);
}

void conn_read(conn* c) {
  if (net.stopping.load()) return conn_close(c);
  int64_t now = now_ms();
  if (c->sc.framer.have == 0) {
    c->pdu_since = 0;
  } else if (c->pdu_since == 0) {
    c->pdu_since = now;
  }
  c->deadline.store(c->pdu_since != 0 ? c->pdu_since + net.pdu_ms : now + net.idle_ms);
  c->phase.store(PHASE_READING);
  c->sock.async_read_some(asio::buffer(c->in, READ_BUFFER),
                          [c](const asio::error_code& ec, size_t n) {
                            c->phase.store(PHASE_BUSY);
                            if (ec) return conn_close(c);
                            c->in_off = 0;
                            c->in_len = n;
                            conn_feed(c);
                          });
}

// Registers a new connection; null when it is refused (the socket closes).
// REQUIRES: net.mu held.
conn* admit(endpoint* e, tcp::socket s) {
  if (net.stopping.load() || net.n_conns >= RPC_MAX_CONNECTIONS) return nullptr;
  conn* c = new (std::nothrow) conn(std::move(s));
  if (c == nullptr) return nullptr;
  c->fd = c->sock.native_handle();
  // Asio accepts without SOCK_CLOEXEC: a program the process starts must not
  // inherit its clients' connections.
  fcntl(c->fd, F_SETFD, FD_CLOEXEC);
  c->ep = e;
  int one = 1;
  setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  asio::error_code ec;
  tcp::endpoint local = c->sock.local_endpoint(ec);
  asio::ip::address_v4::bytes_type a{};
  if (!ec && local.address().is_v4()) a = local.address().to_v4().to_bytes();
  std::copy(a.begin(), a.end(), c->local_addr);
  if (e->kind == RPC_ENDPOINT_MAPPER) {
    rpc_sconn_init(&c->sc, {rpc_server_epm_lookup, c->local_addr, net.groups, e->sec_addr});
  } else {
    rpc_sconn_init(&c->sc, {rpc_server_if_lookup, nullptr, net.groups, e->sec_addr});
  }
  c->next = net.conns;
  if (net.conns != nullptr) net.conns->prev = c;
  net.conns = c;
  ++net.n_conns;
  return c;
}

// ---- Accepting ----

void start_accept(endpoint* e);

// Out of descriptors or memory: accepting again at once would spin.
bool lacks_resources(const asio::error_code& ec) {
  return ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
         ec == asio::error::no_memory || ec.value() == ENFILE;
}

// REQUIRES: net.mu held.
void start_accept(endpoint* e) {
  e->accepting = true;
  e->acc.async_accept([e](const asio::error_code& ec, tcp::socket s) {
    conn* c = nullptr;
    {
      std::lock_guard<std::mutex> hold(net.mu);
      e->accepting = false;
      if (!ec) c = admit(e, std::move(s));
      if (net.accepting && ec != asio::error::operation_aborted) {
        if (lacks_resources(ec)) {
          e->paused = true;
        } else {
          start_accept(e);
        }
      }
    }
    if (c != nullptr) conn_read(c);
  });
}

// ---- The watcher ----

// Brings one more thread in to poll: a parked one, or a new one while the
// pool is below its size.
void add_poller();

void sweep(int64_t now) {
  std::lock_guard<std::mutex> hold(net.mu);
  bool stopping = net.stopping.load();
  for (conn* c = net.conns; c != nullptr; c = c->next) {
    int phase = c->phase.load();
    if ((phase == PHASE_READING && (stopping || now >= c->deadline.load())) ||
        (phase == PHASE_WRITING && now >= c->deadline.load())) {
      // The pending read or write fails, and its handler closes.
      ::shutdown(c->fd, SHUT_RDWR);
    }
  }
  for (endpoint* e : net.endpoints) {
    if (e->paused && net.accepting) {
      e->paused = false;
      start_accept(e);
    }
  }
}

void watch() {
  uint64_t last_completed = net.completed.load();
  int64_t last_seen = now_ms();
  int64_t next_sweep = last_seen + SWEEP_MS;
  std::unique_lock<std::mutex> l(net.watch_mu);
  while (!net.watch_done) {
    int64_t now = now_ms();
    bool active = net.busy.load() > 0 || now - last_seen < WATCH_LINGER_MS;
    if (active) {
      net.watch_cv.wait_for(l, std::chrono::milliseconds(RPC_STALL_TICK_MS));
    } else {
      // Calls announce themselves when the watcher sleeps (conn_call).
      net.watch_sleeping.store(true);
      if (net.busy.load() == 0) {
        net.watch_cv.wait_for(
            l, std::chrono::milliseconds(next_sweep - now > 0 ? next_sweep - now : 1));
      }
      net.watch_sleeping.store(false);
    }
    if (net.watch_done) break;
    l.unlock();
    now = now_ms();
    uint64_t done = net.completed.load();
    size_t busy = net.busy.load();
    if (busy > 0 || done != last_completed) last_seen = now;
    // Every polling thread sits in a call and none ended for a whole tick:
    // the sockets are not being watched.
    if (busy > 0 && busy >= net.polling.load() && done == last_completed) add_poller();
    last_completed = done;
    if (now >= next_sweep) {
      sweep(now);
      next_sweep = now + SWEEP_MS;
    }
    l.lock();
  }
}

// ---- The pool ----

void pool_main() {
  std::unique_lock<std::mutex> l(net.pool_mu);
  for (;;) {
    // Park while another thread is free to poll, unless called in.
    while (!net.pool_done && net.wakeups == 0 && net.polling.load() > net.busy.load()) {
      ++net.parked;
      net.pool_cv.wait(l);
      --net.parked;
    }
    if (net.pool_done) return;
    if (net.wakeups > 0) --net.wakeups;
    net.polling.fetch_add(1);
    l.unlock();
    size_t ran;
    for (;;) {
      ran = net.io->run_one();
      // Another thread is free to poll: this one is not needed.
      if (ran == 0) break;
      if (net.polling.load() > net.busy.load() + 1 &&
          now_ms() - last_blocking_ms.load(std::memory_order_relaxed) > BLOCKING_LINGER_MS) {
        break;
      }
    }
    l.lock();
    net.polling.fetch_sub(1);
    if (ran == 0) {
      // Out of work: listening has ended and every connection is closed.
      net.pool_done = true;
      net.pool_cv.notify_all();
      return;
    }
  }
}

// REQUIRES: net.pool_mu held.
bool spawn_thread() {
  try {
    net.threads.emplace_back(pool_main);
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void add_poller() {
  std::lock_guard<std::mutex> hold(net.pool_mu);
  if (net.pool_done) return;
  ++net.wakeups;
  if (net.parked > 0) {
    net.pool_cv.notify_one();
  } else if (net.threads.size() >= net.max_threads || !spawn_thread()) {
    --net.wakeups;
  }
}

// The soft descriptor limit is often 1024, below what the connections need.
void raise_descriptor_limit() {
  struct rlimit r;
  if (getrlimit(RLIMIT_NOFILE, &r) != 0) return;
  rlim_t want = RPC_MAX_CONNECTIONS + 256;
  if (r.rlim_cur >= want) return;
  r.rlim_cur = r.rlim_max < want ? r.rlim_max : want;
  setrlimit(RLIMIT_NOFILE, &r);
}

// A listening endpoint on `where`, or null with *st. Its connections wait in
// the backlog until it accepts.
endpoint* open_endpoint(int kind, const tcp::endpoint& where, RPC_STATUS* st) {
  *st = RPC_S_OUT_OF_MEMORY;
  endpoint* e = new (std::nothrow) endpoint(*net.io);
  if (e == nullptr) return nullptr;
  e->kind = kind;
  e->accepting = false;
  e->paused = false;
  *st = RPC_S_CANT_CREATE_ENDPOINT;
  asio::error_code ec;
  // Opened close-on-exec, which Asio's own open does not do: a program the
  // process starts would otherwise hold the port after the server closed it.
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    delete e;
    return nullptr;
  }
  e->acc.assign(tcp::v4(), fd, ec);
  if (ec) ::close(fd);
  // A restarted service must get its fixed ports back at once.
  if (!ec) e->acc.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) e->acc.bind(where, ec);
  if (!ec) e->acc.listen(asio::socket_base::max_listen_connections, ec);
  tcp::endpoint got;
  if (!ec) got = e->acc.local_endpoint(ec);
  if (ec) {
    if (ec == asio::error::address_in_use) *st = RPC_S_DUPLICATE_ENDPOINT;
    delete e;
    return nullptr;
  }
  e->port = got.port();
  std::snprintf(e->sec_addr, sizeof e->sec_addr, "%u", static_cast<unsigned>(e->port));
  return e;
}

}  // namespace

void rpc_net_blocking() {
  if (!t_in_call) return;
  last_blocking_ms.store(now_ms(), std::memory_order_relaxed);
  // Beyond one call in progress per core no thread is called in at once: the
  // next thread freed by its answer takes the next request, sooner than a
  // thread called in would and without a sleep and a wake per call. Should
  // no call end for a whole stall tick, the watcher calls one in.
  size_t busy = net.busy.load();
  if (net.polling.load() <= busy && busy <= net.cores) add_poller();
}

RPC_STATUS rpc_net_open(int kind, uint32_t addr, uint16_t port, uint16_t reserved,
                        uint16_t* bound) {
  *bound = 0;
  if (net.io == nullptr) {
    try {
      net.io = std::make_unique<asio::io_context>();
    } catch (const std::exception&) {
      return RPC_S_CANT_CREATE_ENDPOINT;
    }
    net.groups = rpc_assoc_groups_create();
    if (net.groups == nullptr) {
      net.io.reset();
      return RPC_S_OUT_OF_MEMORY;
    }
    raise_descriptor_limit();
  }
  tcp::endpoint where(asio::ip::address_v4(ntohl(addr)), port);
  RPC_STATUS st;
  endpoint* e = open_endpoint(kind, where, &st);
  // The system picks among the ports it hands out, where the endpoint mapper's
  // may lie, and the mapper opened next would find its port taken. While the
  // first endpoint holds that port, the system picks another.
  if (e != nullptr && port == 0 && reserved != 0 && e->port == reserved) {
    endpoint* other = open_endpoint(kind, where, &st);
    delete e;
    e = other;
  }
  if (e == nullptr) return st;
  *bound = e->port;
  std::lock_guard<std::mutex> hold(net.mu);
  net.endpoints.push_back(e);
  if (net.accepting) start_accept(e);
  return RPC_S_OK;
}

RPC_STATUS rpc_net_listen(unsigned min_threads, unsigned max_calls) {
  if (net.io == nullptr) return RPC_S_NO_PROTSEQS_REGISTERED;
  net.idle_ms = net.idle_override != 0 ? net.idle_override : RPC_IDLE_TIMEOUT_MS;
  net.pdu_ms = net.pdu_override != 0 ? net.pdu_override : RPC_PDU_TIMEOUT_MS;
  net.io->restart();
  net.work.emplace(net.io->get_executor());
  net.stopping.store(false);
  unsigned cores = std::thread::hardware_concurrency();
  net.cores = cores > 0 ? cores : 1;
  {
    std::lock_guard<std::mutex> hold(net.pool_mu);
    net.pool_done = false;
    net.wakeups = 0;
    // One thread polls while up to max_calls sit in managers.
    net.max_threads = static_cast<size_t>(max_calls) + 1;
    size_t want = min_threads < 1 ? 1 : min_threads;
    if (want > net.max_threads) want = net.max_threads;
    for (size_t i = 0; i < want; ++i) {
      if (!spawn_thread()) break;
    }
    if (net.threads.empty()) {
      net.work.reset();
      return RPC_S_OUT_OF_RESOURCES;
    }
  }
  {
    std::lock_guard<std::mutex> hold(net.wait_mu);
    net.joined = false;
  }
  {
    std::lock_guard<std::mutex> hold(net.watch_mu);
    net.watch_done = false;
  }
  try {
    net.watcher = std::thread(watch);
  } catch (const std::system_error&) {
    // Calls still run; only a stuck poller would go unnoticed.
  }
  std::lock_guard<std::mutex> hold(net.mu);
  net.accepting = true;
  for (endpoint* e : net.endpoints) {
    if (!e->accepting) start_accept(e);
  }
  return RPC_S_OK;
}

void rpc_net_stop() {
  {
    std::lock_guard<std::mutex> hold(net.mu);
    net.stopping.store(true);
    net.accepting = false;
    for (endpoint* e : net.endpoints) {
      asio::error_code ignored;
      e->acc.cancel(ignored);
      e->paused = false;
    }
  }
  sweep(now_ms());
  // Without work left, the pool threads end once the last connection closes.
  net.work.reset();
}

void rpc_net_wait() {
  std::lock_guard<std::mutex> hold(net.wait_mu);
  if (net.joined) return;
  std::vector<std::thread> threads;
  {
    std::unique_lock<std::mutex> l(net.pool_mu);
    net.pool_cv.wait(l, [] { return net.pool_done; });
  }
  // New threads are no longer started once the pool is done.
  {
    std::lock_guard<std::mutex> l(net.pool_mu);
    threads.swap(net.threads);
  }
  for (std::thread& t : threads) t.join();
  {
    std::lock_guard<std::mutex> l(net.watch_mu);
    net.watch_done = true;
    net.watch_cv.notify_all();
  }
  if (net.watcher.joinable()) net.watcher.join();
  net.joined = true;
}

void rpc_net_close() {
  {
    std::lock_guard<std::mutex> hold(net.mu);
    for (endpoint* e : net.endpoints) {
      asio::error_code ignored;
      e->acc.close(ignored);
    }
  }
  if (net.io != nullptr) {
    // Handlers of the cancelled accepts go with the context.
    net.io->restart();
    net.io->poll();
  }
  {
    std::lock_guard<std::mutex> hold(net.mu);
    for (endpoint* e : net.endpoints) delete e;
    net.endpoints.clear();
  }
  net.work.reset();
  net.io.reset();
  rpc_assoc_groups_destroy(net.groups);
  net.groups = nullptr;
  net.buffered.store(0);
}

void rpc_net_set_timeouts(unsigned idle_ms, unsigned pdu_ms) {
  net.idle_override = idle_ms;
  net.pdu_override = pdu_ms;
}
