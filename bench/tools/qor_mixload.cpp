// A closed-loop load of lookups and registrations against one qor, through
// the client stubs, that checks every answer and what survives a restart.
//
//   qor_mixload run HOST CONNS SECONDS STATE
//     Registers the fixed objects (spoolers s0..s15, printers p0..p999 of
//     class lp, printer pI associated with spooler s(I mod 16)), then runs
//     CONNS connections for SECONDS: 90% getobj, 10% createobj. Writes to
//     STATE what the registrations were answered, and prints the figures as
//     key=value pairs. Exit code 1 when a call failed or answered other than
//     its expected status.
//   qor_mixload verify HOST STATE
//     Checks that the registry holds exactly the fixed objects and STATE.
//   qor_mixload get HOST CONNS SECONDS NAME [DOMAIN]
//     CONNS connections for SECONDS, each asking getobj lp NAME (of DOMAIN:
//     forwarded by HOST to that domain's service) one call at a time; every
//     answer must be 0. Prints calls_per_s, p50_us, p99_us and errors.
//   qor_mixload probe HOST NAME
//     Prints the endpoint of ns_qor_if and the sizes of the request and reply
//     PDUs of getobj lp NAME, for the yardstick.
//
// Connection T registers printers wT-0..wT-31 of its own, so it alone knows
// what each of them must hold: every answer is checked exactly. A registration
// names a random spooler, with force half of the time; without force, a
// printer already associated with another spooler answers 16 (its overwrite
// rule) and stays as it was. A lookup asks a fixed printer or one of the
// connection's own (15 while it has none yet), and checks the server named.
// The connection first looks its own printers up, so the registry may hold
// an earlier run's.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "federation/qor_c.h"
#include "federation/qor_s.h"
#include "platform/rpc/rpc.h"
#include "registry/objutil.h"
#include "registry/status.h"

namespace {

constexpr int SPOOLERS = 16;
constexpr int PRINTERS = 1000;
constexpr int OWN_PRINTERS = 32;  // per connection
constexpr int REGISTRATION_PERCENT = 10;
constexpr size_t PDU_HEADER = 24;  // request and response headers alike

std::string spooler_name(int j) { return std::string("s").append(std::to_string(j)); }
std::string fixed_name(int i) { return std::string("p").append(std::to_string(i)); }
std::string own_name(int t, int k) {
  return std::string("w").append(std::to_string(t)).append("-").append(std::to_string(k));
}

RPC_BINDING_HANDLE open_binding(const char* host) {
  std::string text = std::string("ncacn_ip_tcp:") + host;
  RPC_BINDING_HANDLE ha = nullptr;
  RPC_STATUS st = RpcBindingFromStringBindingA(text.c_str(), &ha);
  if (st != RPC_S_OK) {
    std::fprintf(stderr, "qor_mixload: %s: RPC status %ld\n", host, st);
    std::exit(2);
  }
  return ha;
}

int create_printer(RPC_BINDING_HANDLE ha, const std::string& name, int spooler, int force) {
  std::string target = spooler_name(spooler);
  qorobjid obj = {NS_CLASS_LP, const_cast<char*>(name.c_str()), nullptr};
  qorobjid assoc = {NS_CLASS_SPOOLER, target.data(), nullptr};
  qor_serverinfo none = {{0, nullptr}, nullptr, 0};
  qorobjects members = {0, nullptr};
  int32_t created = 0;
  return NS__cl_qor_createobj(ha, &obj, &assoc, force, &none, &members, &created);
}

// getobj lp NAME: the status, and in *server the name of the spooler found.
int get_printer(RPC_BINDING_HANDLE ha, const std::string& name, std::string* server,
                const char* domain = nullptr) {
  qorobjid obj = {NS_CLASS_LP, const_cast<char*>(name.c_str()), const_cast<char*>(domain)};
  qorobjid found = {NS_CLASS_NONE, nullptr, nullptr};
  rpcbinding binding = {0, nullptr};
  int32_t auth = 0;
  int nsclass = NS_CLASS_NONE;
  int status = NS__cl_qor_getobj(ha, &obj, &found, &binding, &auth, &nsclass);
  server->assign(found.name != nullptr ? found.name : "");
  NS__free_qorobjid(&found);
  NS__free_rpcbinding(&binding);
  return status;
}

// Registers the fixed spoolers and printers; false (after a message) on failure.
bool register_fixed(RPC_BINDING_HANDLE ha) {
  for (int j = 0; j < SPOOLERS; ++j) {
    std::string name = spooler_name(j);
    std::string bind = "ncacn_ip_tcp:127.0.0.1[" + std::to_string(7000 + j) + "]";
    char* bindings[] = {bind.data()};
    qorobjid obj = {NS_CLASS_SPOOLER, name.data(), nullptr};
    qorobjid assoc = {NS_CLASS_NONE, nullptr, nullptr};
    qor_serverinfo info = {{1, bindings}, const_cast<char*>("bench"), 1};
    qorobjects members = {0, nullptr};
    int32_t created = 0;
    int st = NS__cl_qor_createobj(ha, &obj, &assoc, 1, &info, &members, &created);
    if (st != NS_S_OK) {
      std::fprintf(stderr, "qor_mixload: create spooler %s: status %d\n", name.c_str(), st);
      return false;
    }
  }
  for (int i = 0; i < PRINTERS; ++i) {
    int st = create_printer(ha, fixed_name(i), i % SPOOLERS, 1);
    if (st != NS_S_OK) {
      std::fprintf(stderr, "qor_mixload: create lp %s: status %d\n", fixed_name(i).c_str(), st);
      return false;
    }
  }
  return true;
}

struct worker_result {
  long lookups = 0, registrations = 0, failures = 0;
  std::vector<uint32_t> lookup_us, register_us;
  int own[OWN_PRINTERS];  // spooler of each own printer, -1 while not registered
  std::string first_failure;
};

void fail(worker_result* r, const std::string& what) {
  if (r->failures++ == 0) r->first_failure = what;
}

// The shared clock of the run: the workers announce that they are ready,
// the timed part runs from `go` to `stop`.
struct run_clock {
  std::atomic<int> ready{0};
  std::atomic<bool> go{false}, stop{false};
};

void worker(const char* host, int t, run_clock* clock, worker_result* r) {
  RPC_BINDING_HANDLE ha = open_binding(host);
  std::mt19937 rng(static_cast<unsigned>(t) * 7919u + 1);
  std::string server;
  // What an earlier run left of the connection's own printers.
  for (int k = 0; k < OWN_PRINTERS; ++k) {
    r->own[k] = -1;
    try {
      if (get_printer(ha, own_name(t, k), &server) == NS_S_OK && server.size() > 1) {
        r->own[k] = std::atoi(server.c_str() + 1);
      }
    } catch (const rpc_exception& e) {
      fail(r, "get: RPC status " + std::to_string(e.status()));
    }
  }
  ++clock->ready;
  while (!clock->go.load()) std::this_thread::yield();
  while (!clock->stop.load(std::memory_order_relaxed)) {
    bool registration = static_cast<int>(rng() % 100) < REGISTRATION_PERCENT;
    int k = static_cast<int>(rng() % OWN_PRINTERS);
    int j = static_cast<int>(rng() % SPOOLERS);
    int force = static_cast<int>(rng() % 2);
    int fixed = static_cast<int>(rng() % PRINTERS);
    bool own_lookup = rng() % 2 == 0;
    auto t0 = std::chrono::steady_clock::now();
    try {
      if (registration) {
        std::string name = own_name(t, k);
        int expect = r->own[k] < 0 || r->own[k] == j || force ? NS_S_OK : NS_S_EXISTS;
        int st = create_printer(ha, name, j, force);
        if (st == NS_S_OK) r->own[k] = j;
        if (st != expect) {
          fail(r, "create lp " + name + ": status " + std::to_string(st) + ", expected " +
                      std::to_string(expect));
        }
      } else {
        std::string name = own_lookup ? own_name(t, k) : fixed_name(fixed);
        int want = own_lookup ? r->own[k] : fixed % SPOOLERS;
        int expect = want < 0 ? NS_S_NOENTRY : NS_S_OK;
        int st = get_printer(ha, name, &server);
        if (st != expect || (st == NS_S_OK && server != spooler_name(want))) {
          fail(r, "get lp " + name + ": status " + std::to_string(st) + " server " + server);
        }
      }
    } catch (const rpc_exception& e) {
      fail(r, std::string(registration ? "create" : "get") + ": RPC status " +
                  std::to_string(e.status()));
    }
    auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    (registration ? r->register_us : r->lookup_us).push_back(static_cast<uint32_t>(us));
    ++(registration ? r->registrations : r->lookups);
  }
  RpcBindingFree(&ha);
}

uint32_t percentile(std::vector<uint32_t>* v, int pct) {
  if (v->empty()) return 0;
  size_t at = v->size() * static_cast<size_t>(pct) / 100;
  std::nth_element(v->begin(), v->begin() + static_cast<long>(at), v->end());
  return (*v)[at];
}

int run(const char* host, int conns, int seconds, const char* state_path) {
  RPC_BINDING_HANDLE ha = open_binding(host);
  bool ok = register_fixed(ha);
  RpcBindingFree(&ha);
  if (!ok) return 1;

  std::vector<worker_result> results(static_cast<size_t>(conns));
  std::vector<std::thread> threads;
  run_clock clock;
  for (int t = 0; t < conns; ++t) threads.emplace_back(worker, host, t, &clock, &results[t]);
  while (clock.ready.load() < conns) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  auto t0 = std::chrono::steady_clock::now();
  clock.go = true;
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  clock.stop = true;
  for (std::thread& th : threads) th.join();
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

  FILE* state = std::fopen(state_path, "w");
  if (state == nullptr) {
    std::perror(state_path);
    return 2;
  }
  long lookups = 0, registrations = 0, failures = 0;
  std::vector<uint32_t> all, lookup_us, register_us;
  for (int t = 0; t < conns; ++t) {
    worker_result& r = results[t];
    lookups += r.lookups;
    registrations += r.registrations;
    failures += r.failures;
    if (r.failures > 0) std::fprintf(stderr, "qor_mixload: %s\n", r.first_failure.c_str());
    lookup_us.insert(lookup_us.end(), r.lookup_us.begin(), r.lookup_us.end());
    register_us.insert(register_us.end(), r.register_us.begin(), r.register_us.end());
    for (int k = 0; k < OWN_PRINTERS; ++k) {
      if (r.own[k] >= 0) std::fprintf(state, "%s %d\n", own_name(t, k).c_str(), r.own[k]);
    }
  }
  std::fclose(state);
  all = lookup_us;
  all.insert(all.end(), register_us.begin(), register_us.end());
  std::printf(
      "calls_per_s=%.0f lookups=%ld registrations=%ld failures=%ld p50_us=%u p99_us=%u "
      "lookup_p99_us=%u register_p50_us=%u register_p99_us=%u\n",
      static_cast<double>(lookups + registrations) / elapsed, lookups, registrations, failures,
      percentile(&all, 50), percentile(&all, 99), percentile(&lookup_us, 99),
      percentile(&register_us, 50), percentile(&register_us, 99));
  return failures == 0 ? 0 : 1;
}

// Closed-loop lookups of one printer; the figures in the yardstick's form.
int get(const char* host, int conns, int seconds, const char* name, const char* domain) {
  std::vector<std::vector<uint32_t>> lat(static_cast<size_t>(conns));
  std::vector<long> errors(static_cast<size_t>(conns));
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  auto t0 = std::chrono::steady_clock::now();
  for (int t = 0; t < conns; ++t) {
    threads.emplace_back([&, t] {
      RPC_BINDING_HANDLE ha = open_binding(host);
      std::string server;
      while (!stop.load(std::memory_order_relaxed)) {
        auto c0 = std::chrono::steady_clock::now();
        try {
          if (get_printer(ha, name, &server, domain) != NS_S_OK) ++errors[t];
        } catch (const rpc_exception&) {
          ++errors[t];
        }
        lat[t].push_back(
            static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                      std::chrono::steady_clock::now() - c0)
                                      .count()));
      }
      RpcBindingFree(&ha);
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  stop = true;
  for (std::thread& th : threads) th.join();
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::vector<uint32_t> all;
  long failed = 0;
  for (int t = 0; t < conns; ++t) {
    all.insert(all.end(), lat[t].begin(), lat[t].end());
    failed += errors[t];
  }
  std::printf("calls_per_s=%.0f p50_us=%u p99_us=%u errors=%ld\n",
              static_cast<double>(all.size()) / elapsed, percentile(&all, 50), percentile(&all, 99),
              failed);
  return failed == 0 ? 0 : 1;
}

int verify(const char* host, const char* state_path) {
  std::map<std::string, int> want;
  for (int i = 0; i < PRINTERS; ++i) want[fixed_name(i)] = i % SPOOLERS;
  FILE* state = std::fopen(state_path, "r");
  if (state == nullptr) {
    std::perror(state_path);
    return 2;
  }
  char name[64];
  int j = 0;
  while (std::fscanf(state, "%63s %d", name, &j) == 2) want[name] = j;
  std::fclose(state);

  RPC_BINDING_HANDLE ha = open_binding(host);
  long wrong = 0;
  try {
    qorobjid all = {NS_CLASS_LP, nullptr, nullptr};
    qorobjects listed = {0, nullptr};
    int st = NS__cl_qor_listobj(ha, &all, &listed);
    std::map<std::string, int> seen;
    for (int32_t i = 0; i < listed.len; ++i) seen[listed.val[i].name] = 0;
    NS__free_qorobjects(&listed);
    if (st != NS_S_OK || seen.size() != want.size()) {
      std::fprintf(stderr, "qor_mixload: list lp: status %d, %zu printers, expected %zu\n", st,
                   seen.size(), want.size());
      ++wrong;
    }
    std::string server;
    for (const auto& [printer, spooler] : want) {
      st = get_printer(ha, printer, &server);
      if (st != NS_S_OK || server != spooler_name(spooler)) {
        if (wrong++ < 5) {
          std::fprintf(stderr, "qor_mixload: get lp %s: status %d server %s, expected %s\n",
                       printer.c_str(), st, server.c_str(), spooler_name(spooler).c_str());
        }
      }
    }
  } catch (const rpc_exception& e) {
    std::fprintf(stderr, "qor_mixload: verify: RPC status %ld\n", e.status());
    ++wrong;
  }
  RpcBindingFree(&ha);
  std::printf("printers=%zu wrong=%ld\n", want.size(), wrong);
  return wrong == 0 ? 0 : 1;
}

int probe(const char* host, const char* name) {
  RPC_BINDING_HANDLE ha = open_binding(host);
  char* text = nullptr;
  char* endpoint = nullptr;
  RPC_STATUS st = RpcEpResolveBinding(ha, &NS__sv_ns_qor_if_v1_1_s_ifspec);
  if (st == RPC_S_OK) st = RpcBindingToStringBindingA(ha, &text);
  if (st == RPC_S_OK)
    st = RpcStringBindingParseA(text, nullptr, nullptr, nullptr, &endpoint, nullptr);
  qorobjid obj = {NS_CLASS_LP, const_cast<char*>(name), nullptr};
  std::vector<uint8_t> request, reply;
  if (st == RPC_S_OK) qor_c_marshal_getobj_request(&obj, &request);
  if (st == RPC_S_OK) {
    st = rpc_binding_call(ha, &NS__sv_ns_qor_if_v1_1_s_ifspec, QOR_OP_GETOBJ, request, &reply);
  }
  if (st == RPC_S_OK) {
    std::printf("port=%s request_bytes=%zu reply_bytes=%zu\n", endpoint,
                request.size() + PDU_HEADER, reply.size() + PDU_HEADER);
  } else {
    std::fprintf(stderr, "qor_mixload: probe: RPC status %ld\n", st);
  }
  RpcStringFreeA(&endpoint);
  RpcStringFreeA(&text);
  RpcBindingFree(&ha);
  return st == RPC_S_OK ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "run") == 0) {
    return run(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), argv[5]);
  }
  if (argc == 4 && std::strcmp(argv[1], "verify") == 0) return verify(argv[2], argv[3]);
  if (argc == 4 && std::strcmp(argv[1], "probe") == 0) return probe(argv[2], argv[3]);
  if ((argc == 6 || argc == 7) && std::strcmp(argv[1], "get") == 0) {
    return get(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), argv[5],
               argc == 7 ? argv[6] : nullptr);
  }
  std::fprintf(stderr,
               "usage: qor_mixload run HOST CONNS SECONDS STATE | verify HOST STATE | "
               "get HOST CONNS SECONDS NAME [DOMAIN] | probe HOST NAME\n");
  return 2;
}
