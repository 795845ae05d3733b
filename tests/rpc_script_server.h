// Test helper: a scripted DCE/RPC server for the client's tests, on a loopback address of its own,
// one thread per connection, driving the server connection machine of assoc.h. Its Mode says what a
// connection does besides serving; the operation of a call says what the call does.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/rpc/assoc.h"
#include "platform/rpc/epm.h"

namespace script {

// Operations of the test interface; kClose: the server reads the request and closes.
enum Op : uint16_t { kEcho, kSlow, kBusy, kDne, kClose };
// kCloseOnCall: every request is read and the connection closed without a reply;
// kResetFirst, kResetSecond: the first (second) request is left unread and answered with a reset.
enum Mode { kServe, kCloseAfterBind, kCloseAfterReply, kCloseOnCall, kResetFirst, kResetSecond };

inline rpc_stub_result echo(const void*, const uint8_t* in, size_t len, std::vector<uint8_t>* out) {
  out->assign(in, in + len);
  return {0, true};
}
inline rpc_stub_result slow(const void* epv, const uint8_t* in, size_t len,
                            std::vector<uint8_t>* out) {
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  return echo(epv, in, len, out);
}
template <uint32_t kFault>
rpc_stub_result fault(const void*, const uint8_t*, size_t, std::vector<uint8_t>*) {
  return {kFault, false};
}
inline rpc_stub_result ept_map(const void* epv, const uint8_t* in, size_t len,
                               std::vector<uint8_t>* out) {
  const uint8_t addr[4] = {127, 0, 0, 1};
  uint32_t f = epm_map(static_cast<const epm_entry*>(epv), 1, in, len, addr, out);
  return {f, f == 0};
}
inline const rpc_server_stub_t kStubs[] = {echo, slow, fault<NCA_S_SERVER_TOO_BUSY>,
                                           fault<NCA_S_MANAGER_NOT_ENTERED>, echo};
inline const rpc_server_interface kIf = {
    {{0x5d2a0c11, 0x7e41, 0x4b0a, {0x9c, 0x3e, 1, 2, 3, 4, 5, 6}}, 1, 0}, 5, kStubs, nullptr};
inline const rpc_server_stub_t kEpmStubs[] = {ept_map, ept_map, ept_map, ept_map};
inline const rpc_server_interface kEpmIf = {RPC_EPM_SYNTAX, 4, kEpmStubs, nullptr};

inline std::string RandomLoopback() {
  std::random_device rd;
  return "127." + std::to_string(rd() % 200 + 20) + "." + std::to_string(rd() % 250 + 1) + "." +
         std::to_string(rd() % 250 + 1);
}

// A TCP socket bound to `port` (0: any) of `addr`, by default 127.x.y.z at
// random so that tests running at once do not meet, and a binding naming it.
struct Bound {
  int fd;
  sockaddr_in sa;
  std::string addr, binding;
};
inline Bound BindRandom(std::string addr = "", uint16_t port = 0) {
  if (addr.empty()) addr = RandomLoopback();
  Bound b = {
      socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), {AF_INET, htons(port), {}, {}}, addr, ""};
  inet_pton(AF_INET, addr.c_str(), &b.sa.sin_addr);
  socklen_t len = sizeof b.sa;
  EXPECT_EQ(bind(b.fd, reinterpret_cast<sockaddr*>(&b.sa), len), 0);
  getsockname(b.fd, reinterpret_cast<sockaddr*>(&b.sa), &len);
  b.binding = "ncacn_ip_tcp:" + addr + "[" + std::to_string(ntohs(b.sa.sin_port)) + "]";
  return b;
}

class Server {
 public:
  explicit Server(Mode mode = kServe, std::vector<rpc_if_entry> ifs = {{&kIf, nullptr}},
                  std::string addr = "", uint16_t port = 0)
      : mode_(mode),
        ifs_(std::move(ifs)),
        list_{ifs_.data(), ifs_.size()},
        s(BindRandom(addr, port)) {
    listen(s.fd, 64);
    accept_ = std::thread([this] {
      for (int c; (c = accept(s.fd, nullptr, nullptr)) >= 0;) {
        std::lock_guard<std::mutex> hold(mu_);
        ++accepted;
        conns_.push_back(c);
        threads_.emplace_back([this, c] { Serve(c); });
      }
    });
  }
  ~Server() {
    shutdown(s.fd, SHUT_RDWR);  // ends accept()
    accept_.join();
    {
      std::lock_guard<std::mutex> hold(mu_);
      for (int c : conns_)
        if (c >= 0) shutdown(c, SHUT_RDWR);  // ends the connections the client still holds
    }
    for (std::thread& t : threads_) t.join();
    close(s.fd);
    rpc_assoc_groups_destroy(groups_);
  }
  uint16_t port() const { return ntohs(s.sa.sin_port); }
  // When each request arrived.
  std::vector<std::chrono::steady_clock::time_point> requests() {
    std::lock_guard<std::mutex> hold(mu_);
    return requests_;
  }

  std::atomic<int> accepted{0};

 private:
  void Serve(int fd) {
    rpc_server_conn c;
    rpc_sconn_init(&c, {rpc_if_list_lookup, &list_, groups_, "0"});
    std::vector<uint8_t> in(8192), out;
    int served = 0;
    for (bool open = true; open;) {
      pollfd p = {fd, POLLIN, 0};
      bool reset = mode_ == kResetFirst ? c.bound : mode_ == kResetSecond && served == 1;
      if (reset && poll(&p, 1, -1)) break;
      ssize_t n = recv(fd, in.data(), in.size(), 0);
      if (n <= 0) break;
      for (size_t off = 0, used; open && off < size_t(n); off += used) {
        int state = rpc_sconn_receive(&c, &in[off], n - off, &used);
        const rpc_call* call = rpc_sconn_call(&c);
        if (call != nullptr) {
          std::lock_guard<std::mutex> hold(mu_);
          requests_.push_back(std::chrono::steady_clock::now());
        }
        open = state != RPC_SCONN_CLOSE &&
               !(call &&
                 (mode_ == kCloseOnCall || (call->target.iface == &kIf && call->opnum == kClose)));
        if (call != nullptr && open) {
          rpc_sconn_execute(&c);
          ++served;
        }
      }
      rpc_sconn_take_output(&c, &out);
      send(fd, out.data(), out.size(), MSG_NOSIGNAL);
      out.clear();
      if ((mode_ == kCloseAfterBind && c.bound) || (mode_ == kCloseAfterReply && served > 0)) break;
    }
    rpc_sconn_release(&c);
    std::lock_guard<std::mutex> hold(mu_);  // the destructor must not shut a reused number
    for (int& k : conns_) k = k == fd ? -1 : k;
    close(fd);
  }

  Mode mode_;
  std::vector<rpc_if_entry> ifs_;
  rpc_if_list list_;
  rpc_assoc_groups* groups_ = rpc_assoc_groups_create();
  std::mutex mu_;
  std::vector<int> conns_;                                       // GUARDED_BY(mu_)
  std::vector<std::chrono::steady_clock::time_point> requests_;  // GUARDED_BY(mu_)
  std::vector<std::thread> threads_;
  std::thread accept_;

 public:
  const Bound s;  // the listening socket, its address and binding
};

}  // namespace script
