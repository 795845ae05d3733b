// One DCE/RPC connection as a state machine, without sockets: the socket layer
// feeds it the bytes it receives and sends the bytes it produces.
//
// Server side (rpc_server_conn): answers bind and alter_context with the
// negotiation of presentation contexts and fragment sizes, places the
// connection in an association group, reassembles requests, hands a complete
// call to the caller for dispatch to the interface's server stub, and
// fragments the reply. Malformed input ends in a fault nca_s_proto_error (or a
// bind_nak) and a request to close; nothing read from the wire is trusted for
// an allocation.
//
// Client side (rpc_client_conn): builds a bind for one interface, reads the
// bind_ack, builds the request fragments of a call and reassembles the reply.
//
// A connection record is used by one thread at a time (the caller serialises
// its calls); only the association-group table is shared, and it locks itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/rpc/pdu.h"
#include "platform/rpc/rpc_types.h"

// The association groups of one server, shared by all its connections. A bind
// naming group 0 gets a new group; a further connection naming an existing
// group joins it; a group ends with its last connection.
struct rpc_assoc_groups;

// Null when memory is exhausted. Destroy only after every connection that
// uses the table is released.
rpc_assoc_groups* rpc_assoc_groups_create();
void rpc_assoc_groups_destroy(rpc_assoc_groups* groups);
// Number of live groups (for tests and diagnostics).
size_t rpc_assoc_groups_count(rpc_assoc_groups* groups);

// What an accepted abstract syntax leads to: the registered interface and the
// manager entry-point vector its stubs are called with.
struct rpc_if_entry {
  const rpc_server_interface* iface;
  const void* epv;  // null: the interface's own managers (iface->default_epv)
};

// Finds the registered interface serving `abstract`: same UUID and major
// version, requested minor version not above the registered one (see
// rpc_if_matches). Called on the thread feeding the connection, at bind and
// again at every call (an interface unregistered meanwhile answers
// nca_s_unk_if); must be safe against concurrent registration.
using rpc_if_lookup_t = bool (*)(void* arg, const rpc_syntax_id& abstract, rpc_if_entry* out);

// The version rule of interface matching.
bool rpc_if_matches(const rpc_syntax_id& registered, const rpc_syntax_id& requested);

// A lookup over a fixed array (arg: an rpc_if_list).
struct rpc_if_list {
  const rpc_if_entry* entries;
  size_t count;
};
bool rpc_if_list_lookup(void* arg, const rpc_syntax_id& abstract, rpc_if_entry* out);

struct rpc_sconn_config {
  rpc_if_lookup_t lookup;
  void* lookup_arg;
  rpc_assoc_groups* groups;
  const char* sec_addr;  // the listening port in decimal ("49664"), sent in bind_ack
};

// A buffer above this size (a request reassembled, replies sent) is given back
// once its call is over: an idle connection keeps what one ordinary call, in
// one largest fragment, needs.
constexpr size_t RPC_KEEP_BUFFER = 8 * 1024;

// Gives a buffer's memory back when it is above RPC_KEEP_BUFFER; empties it.
void rpc_trim_buffer(std::vector<uint8_t>* v);

// The most presentation contexts one connection keeps; further proposals are
// rejected with "local limit exceeded".
constexpr size_t RPC_MAX_CONTEXTS = 16;

// Server connection states, returned by rpc_sconn_receive.
constexpr int RPC_SCONN_IDLE = 0;   // all input taken; send the output, wait for bytes
constexpr int RPC_SCONN_CALL = 1;   // a call is ready (rpc_sconn_call); no input taken after it
constexpr int RPC_SCONN_CLOSE = 2;  // send the output, then close the connection

struct rpc_pres_ctx {
  uint16_t cont_id;
  rpc_syntax_id abstract;
};

// A call ready for dispatch. `stub` is valid until rpc_sconn_finish.
struct rpc_call {
  rpc_if_entry target;
  uint32_t call_id;
  uint16_t cont_id;
  uint16_t opnum;
  bool has_object;
  rpc_uuid object;
  const uint8_t* stub;
  size_t stub_len;
};

struct rpc_server_conn {
  rpc_sconn_config cfg;
  int state;
  bool bound;
  uint16_t frag;   // negotiated fragment size, both directions
  uint32_t group;  // 0 until bound
  rpc_pres_ctx contexts[RPC_MAX_CONTEXTS];
  size_t n_contexts;
  rpc_framer framer;
  rpc_reassembly reasm;
  bool discarding;  // dropping the remaining fragments of a refused call
  uint32_t discard_call_id;
  rpc_call call;
  std::vector<uint8_t> out;  // PDUs waiting to be sent, each whole
};

void rpc_sconn_init(rpc_server_conn* c, const rpc_sconn_config& cfg);
// Leaves the association group and frees the reassembly buffer.
void rpc_sconn_release(rpc_server_conn* c);

// Takes received bytes (any split, down to one byte at a time). Processes
// whole PDUs until the input is used up (RPC_SCONN_IDLE), a call is complete
// (RPC_SCONN_CALL: the caller dispatches it, then calls rpc_sconn_finish and
// feeds the rest of its input, data[*consumed..len)), or the connection must
// close (RPC_SCONN_CLOSE: the fault or bind_nak explaining why is in the
// output). Replies (bind_ack, faults for refused calls) are appended to the
// output as they arise.
int rpc_sconn_receive(rpc_server_conn* c, const uint8_t* data, size_t len, size_t* consumed);

// The call waiting for dispatch, or null when the state is not RPC_SCONN_CALL.
const rpc_call* rpc_sconn_call(const rpc_server_conn* c);

// Ends the call: appends the response fragments of `reply` (when r.fault is
// 0) or a fault with r.fault (did-not-execute when !r.executed), and makes
// the connection ready for the next call. A reply above RPC_MAX_STUB is sent
// as the fault nca_s_out_args_too_big instead.
void rpc_sconn_finish(rpc_server_conn* c, rpc_stub_result r, const uint8_t* reply,
                      size_t reply_len);

// Dispatches the waiting call to its server stub on the calling thread and
// finishes it.
void rpc_sconn_execute(rpc_server_conn* c);

// Moves the pending output to the end of *out.
void rpc_sconn_take_output(rpc_server_conn* c, std::vector<uint8_t>* out);

// ---- Client side ----

// Client events, returned by rpc_cconn_receive with RPC_S_OK.
constexpr int RPC_CCONN_MORE = 0;   // all input taken, the answer is not complete
constexpr int RPC_CCONN_BOUND = 1;  // bind_ack accepted our context
constexpr int RPC_CCONN_REPLY = 2;  // the reply stub is complete: rpc_cconn_reply

struct rpc_client_conn {
  rpc_syntax_id iface;
  uint16_t cont_id;
  uint16_t max_xmit;  // negotiated: the largest fragment we send
  uint16_t max_recv;  // the largest fragment we accept
  uint32_t group;
  bool bound;
  bool broken;            // protocol error: the connection cannot be used any more
  bool waiting;           // a bind or call is waiting for its answer
  uint32_t call_id;       // ... and its call_id
  uint32_t fault_status;  // NCA status of the last fault received
  bool fault_dne;         // ... and whether it said the call did not run
  rpc_framer framer;
  rpc_reassembly reasm;
};

// `group`: 0 for a new association group, or one to join.
void rpc_cconn_init(rpc_client_conn* c, const rpc_syntax_id& iface, uint32_t group);
void rpc_cconn_release(rpc_client_conn* c);

// Appends a bind proposing one context (id 0): the interface with NDR 2.0,
// fragments of RPC_MAX_FRAG.
void rpc_cconn_make_bind(rpc_client_conn* c, uint32_t call_id, std::vector<uint8_t>* out);

// Appends the request fragments of one call, each at most the negotiated
// size. RPC_S_OK; RPC_S_INVALID_BINDING before the bind succeeded;
// RPC_S_INVALID_ARG for a stub above RPC_MAX_STUB.
int rpc_cconn_make_request(rpc_client_conn* c, uint32_t call_id, uint16_t opnum,
                           const rpc_uuid* object, const uint8_t* stub, size_t stub_len,
                           std::vector<uint8_t>* out);

// Takes received bytes for the bind or the call in progress. RPC_S_OK with
// *event; or the status of a failure, which ends the bind or call:
// bind_ack rejection 1717 (interface) or 1722 (transfer syntax); bind_nak
// 1723, 1728, 1747, 5 or 1727 by its reason; a fault, mapped by
// rpc_nca_to_status (fault_status and fault_dne keep the details; the
// connection stays usable); RPC_S_PROTOCOL_ERROR for anything malformed or
// unexpected (c->broken is then set); RPC_S_OUT_OF_MEMORY.
int rpc_cconn_receive(rpc_client_conn* c, const uint8_t* data, size_t len, size_t* consumed,
                      int* event);

// The reply stub after RPC_CCONN_REPLY, valid until the next receive.
const uint8_t* rpc_cconn_reply(const rpc_client_conn* c, size_t* len);

// The status a client reports for an NCA fault status (unknown ones pass unchanged).
int rpc_nca_to_status(uint32_t nca_status);
