// The RPC server with calls on several connections at once: a manager that
// blocks, the end of listening and unregistering while a call runs, more
// clients than calls allowed, and servers started and torn down in turn.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "../rpc_server_testutil.h"

namespace {

int answer_domain(void*, char** domain) {
  *domain = strdup("D");
  return 0;
}

// hello blocks until the test opens the gate.
std::promise<void> entered, gate;
std::shared_future<void> gate_open = gate.get_future().share();

int blocking_hello(void*, const char*, char** host) {
  entered.set_value();
  gate_open.wait();
  *host = strdup("h");
  return 0;
}

int sleeping_hello(void*, const char*, char** host) {
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  *host = strdup("h");
  return 0;
}

TEST(ConcurrencyRpcServer, BlockedManagerHoldsUpOnlyItsCallUnregisteringAndTheStop) {
  NS__sv_ns_qor_if_v1_1_epv_t epv{};
  epv.qor_getdomain = answer_domain;
  epv.qor_hello = blocking_hello;
  // One call thread: only the watcher can bring another in to poll.
  TestServer srv(&epv, 1, 4);
  std::string slow_reply;
  std::thread slow([&] { slow_reply = TestClient(srv.addr, srv.port).Hello(); });
  entered.get_future().wait();
  srv.settings.Write("RpcConnectTimeout = dword:2\n");  // for the end
  TestClient other(srv.addr, srv.port);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(other.Getdomain(), "0:D");

  std::atomic<bool> unregistered{false}, stopped{false};
  std::thread unregister([&] {
    EXPECT_EQ(RpcServerUnregisterIf(&NS__sv_ns_qor_if_v1_1_s_ifspec, nullptr, 1), RPC_S_OK);
    unregistered = true;
  });
  std::thread stop([&] {
    EXPECT_EQ(RpcMgmtStopServerListening(nullptr), RPC_S_OK);
    EXPECT_EQ(RpcMgmtWaitServerListen(), RPC_S_OK);
    stopped = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(unregistered || stopped);
  gate.set_value();
  slow.join();
  unregister.join();
  stop.join();
  EXPECT_EQ(slow_reply, "0:h");
  // Listening has ended: the kept connection was closed, and a new one is
  // accepted by the port but never bound.
  EXPECT_EQ(other.Getdomain(), std::to_string(RPC_S_SERVER_UNAVAILABLE));
}

TEST(ConcurrencyRpcServer, MoreClientsThanCallsAcrossRestartsAreServedOrToldBusy) {
  NS__sv_ns_qor_if_v1_1_epv_t epv{};
  epv.qor_getdomain = answer_domain;
  epv.qor_hello = sleeping_hello;
  for (int round = 0; round < 3; ++round) {
    TestServer srv(&epv, 2, 3);
    std::atomic<int> ok{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 8; ++t) {
      clients.emplace_back([&] {
        TestClient c(srv.addr, srv.port);
        for (int i = 0; i < 40; ++i) {
          std::string r = i % 2 ? c.Hello() : c.Getdomain();
          if (r == "0:D" || r == "0:h") ok++;
          EXPECT_TRUE(r == "0:D" || r == "0:h" || r == std::to_string(RPC_S_SERVER_TOO_BUSY)) << r;
        }
      });
    }
    for (std::thread& t : clients) t.join();
    EXPECT_GT(ok, 0);
  }
}

}  // namespace
