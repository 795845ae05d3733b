// Inside the RPC server: what its calls (rpc_server.cpp: protocol sequences,
// interfaces, the endpoint map, listening) and its network side
// (rpc_transport.cpp: sockets, connections, call threads, on Asio) say to
// each other, the limits they keep, and the test entry points.
//
// The server is one per process, as the Win32 runtime's is.
//
// Call threads. Each connection has one operation at a time (read, call or
// write), so its handlers never overlap. A call runs on the pool thread that
// read its last fragment: no handoff to another thread, no extra context
// switch. One thread of the pool waits on the sockets; the others are parked.
// A watcher thread notices when every polling thread has sat in a call for a
// whole tick without any call ending and brings another pool thread in to
// poll, so a manager that blocks (a slow disk, a forwarded call) stalls the
// other connections for a tick at most. Threads beyond the one polling park
// again when their call ends.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/rpc/assoc.h"
#include "platform/rpc/rpc.h"

// ---- Limits of the runtime ----

// Connections open at once, mapper connections included; a connection
// accepted beyond it is closed at once.
constexpr size_t RPC_MAX_CONNECTIONS = 4096;
// A connection with no call in progress and no PDU begun is closed after
// this long.
constexpr unsigned RPC_IDLE_TIMEOUT_MS = 300000;
// A PDU must arrive whole, and a reply must be taken by the client, within
// this long of its first byte; a peer trickling bytes is closed.
constexpr unsigned RPC_PDU_TIMEOUT_MS = 30000;
// Bytes held for all connections together in requests being reassembled
// and replies waiting to be sent. Past it, a connection whose request grows
// is closed and new calls are answered nca_s_server_too_busy, so that a few
// peers cannot pile up RPC_MAX_STUB each on thousands of connections.
constexpr size_t RPC_MAX_BUFFERED = 64u << 20;
// Interfaces registered at once.
constexpr size_t RPC_MAX_INTERFACES = 16;
// How often the watcher looks at the calls in progress, while calls run.
constexpr unsigned RPC_STALL_TICK_MS = 2;

// ---- Calls, as the network side asks the server (rpc_server.cpp) ----

// The lookup of server connections (rpc_if_lookup_t): a registered interface
// serving `abstract`. Takes the server's lock.
bool rpc_server_if_lookup(void* arg, const rpc_syntax_id& abstract, rpc_if_entry* out);
// The lookup of endpoint-mapper connections: the endpoint-mapper interface,
// whose stubs answer from the endpoint table. `arg` points to the IPv4
// address (4 bytes, network order) the connection arrived on, which the
// towers of ept_map carry; it must live as long as the connection.
bool rpc_server_epm_lookup(void* arg, const rpc_syntax_id& abstract, rpc_if_entry* out);

// Admits a call of `target` before its manager runs: 0, or the fault that
// refuses it (did-not-execute): nca_s_server_too_busy while listening is
// stopping, with MaxCalls calls running, or with `buffered` above
// RPC_MAX_BUFFERED; nca_s_unk_if when the interface was unregistered since
// the bind. Every admitted call is ended with rpc_server_call_end.
uint32_t rpc_server_call_begin(const rpc_if_entry& target, size_t buffered);
void rpc_server_call_end(const rpc_if_entry& target);

// ---- The network side, as the server's calls drive it (rpc_transport.cpp) ----

// Kinds of listening endpoint.
constexpr int RPC_ENDPOINT_SERVER = 0;  // the registered interfaces
constexpr int RPC_ENDPOINT_MAPPER = 1;  // the endpoint mapper

// Opens a listening TCP endpoint on `addr` (IPv4, network order; 0 = every
// local address) and `port` (0 = one the system picks, never `reserved`), and
// sets *bound to its port. Connections wait in the backlog until
// rpc_net_listen. Statuses: RPC_S_OK; RPC_S_DUPLICATE_ENDPOINT when the port
// is taken; RPC_S_CANT_CREATE_ENDPOINT for any other failure.
RPC_STATUS rpc_net_open(int kind, uint32_t addr, uint16_t port, uint16_t reserved, uint16_t* bound);
// Starts accepting on every endpoint open, with `min_threads` call threads
// ready and up to `max_calls` calls at a time. RPC_S_OK, or
// RPC_S_OUT_OF_RESOURCES when not even one thread could be started.
RPC_STATUS rpc_net_listen(unsigned min_threads, unsigned max_calls);
// Stops accepting and closes every connection as soon as it has no call in
// progress and its reply is sent. Returns at once.
void rpc_net_stop();
// After rpc_net_stop: returns once every connection is closed and every call
// thread has ended. Several threads may wait at once.
void rpc_net_wait();
// After rpc_net_wait (or when never listening): closes the endpoints and
// frees the network side.
void rpc_net_close();
// Called by a thread about to wait for something slow, such as the reply of a
// call it makes to another server: when it is one of the server's call
// threads and no other thread is free to watch the sockets, one is called in
// at once rather than after a stall tick, as long as no more calls than cores
// are in progress. Costs nothing on other threads.
void rpc_net_blocking();

// ---- For tests and tools ----

// Ends the server completely: stops listening and waits for the calls in
// progress, closes every endpoint and the endpoint mapper, forgets the
// registered interfaces and endpoints. Afterwards the process is as if the
// server had never been used, and it can be started again.
void rpc_server_reset();
// The port the endpoint mapper listens on; 0 when it is not open. (With
// RpcEpmapperPort set to 0 the system picks it.)
uint16_t rpc_server_epmapper_port();
// Shortens the idle and PDU timeouts (milliseconds, 0 = the default) for the
// next rpc_net_listen, so that tests see a trickling peer cut in seconds.
void rpc_net_set_timeouts(unsigned idle_ms, unsigned pdu_ms);
