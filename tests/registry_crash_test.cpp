// Crash consistency of the write-through: a worker process changes the registry and is killed with
// SIGKILL at random moments; every start after a kill must hold every change the worker had
// acknowledged, with at most the one change in flight added, and no record half there.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <optional>
#include <random>

#include "registry_testutil.h"

using namespace regtest;

namespace {

using State = std::map<std::string, std::string>;                   // "class name" -> value
using Change = std::pair<std::string, std::optional<std::string>>;  // no value: deleted

void record(State& state, const Change& c) {
  if (c.second) {
    state[c.first] = *c.second;
  } else {
    state.erase(c.first);
  }
}

// The worker, in a process of its own: builds the registry on `data` and changes it for ever
// (spoolers and groups created, replaced and deleted at random), reporting on `fd` each change it
// is about to make ("I C class name value" or "I D class name") and each one acknowledged ("A").
[[noreturn]] void worker(const std::string& data, unsigned seed, int fd) {
  std::mt19937 rng(seed);
  if (NS__InitNameObj(data.c_str()) != NS_S_OK) _exit(1);  // shows as an ending of its own
  dprintf(fd, "R\n");
  for (unsigned serial = 0;; serial++) {
    bool group = rng() % 3 == 0;
    std::string name = (group ? "g" : "s") + std::to_string(rng() % 24);
    std::string value = std::to_string(seed) + "-" + std::to_string(serial);
    std::string binding = "ncacn_ip_tcp:10.0.0.1[" + value + "]";
    const char* cls = group ? "group" : "spooler";
    int status;
    if (rng() % 4 == 0) {
      dprintf(fd, "I D %s %s\n", cls, name.c_str());
      status = delete_obj(group ? NS_CLASS_GROUP : NS_CLASS_SPOOLER, name.c_str());
      if (status == NS_S_NOENTRY) status = NS_S_OK;
    } else if (group) {
      dprintf(fd, "I C group %s lp:%s@DOM\n", name.c_str(), value.c_str());
      status = create_group(NS_CLASS_GROUP, name.c_str(), {id(NS_CLASS_LP, value.c_str())}, 1);
    } else {
      dprintf(fd, "I C spooler %s %s\n", name.c_str(), binding.c_str());
      Server sv({binding.c_str()}, "crashhost");
      status = create_server(NS_CLASS_SPOOLER, name.c_str(), sv, 1);
    }
    // The worker ends on a failed change, or when the test is gone.
    if (status != NS_S_OK) _exit(4);
    if (dprintf(fd, "A\n") < 0) _exit(3);
  }
}

// What the registry holds now, read through the front: each spooler's bindings and each
// group's members, in the form the worker reports them.
State loaded_state() {
  State state;
  for (const std::string& name : names(NS_CLASS_SPOOLER)) {
    Lookup r = get(NS_CLASS_SPOOLER, name.c_str());
    EXPECT_EQ(r.status, NS_S_OK);
    for (const std::string& b : r.bindings) state["spooler " + name] += b;
  }
  for (const std::string& name : names(NS_CLASS_GROUP))
    for (const std::string& m : names(NS_CLASS_GROUP, name.c_str())) state["group " + name] += m;
  return state;
}

TEST(RegistryCrash, EveryAcknowledgedChangeSurvivesSigkill) {
  TempDir tmp;
  std::string data = tmp.dir() + "/data";
  static char domain[] = "DOM";
  NS__ms_domain = domain;

  unsigned seed = static_cast<unsigned>(std::random_device{}());
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  State model;
  int acknowledged = 0, mid_change = 0;
  constexpr int kRounds = 220;

  for (int round = 0; round < kRounds; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      worker(data, static_cast<unsigned>(round + 1), fds[1]);
    }
    close(fds[1]);

    // Let the worker run for a random moment, draining its reports: mostly
    // counted from its start-up being done, sometimes during its recovery.
    std::string out;
    char buf[4096];
    bool during_start = rng() % 8 == 0;
    auto now = std::chrono::steady_clock::now;
    auto deadline = now() + (during_start ? std::chrono::microseconds(rng() % 5000)
                                          : std::chrono::microseconds(5000000));
    bool ready = false;
    for (;;) {
      // Wait to the microsecond, so that the kill does not cluster just
      // after the worker's reports, which wake this loop.
      auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now()).count();
      if (left <= 0) break;
      timespec ts{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
      pollfd p{fds[0], POLLIN, 0};
      if (ppoll(&p, 1, &ts, nullptr) <= 0) continue;
      ssize_t n = read(fds[0], buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, n);
      if (!during_start && !ready && out.find("R\n") != std::string::npos) {
        ready = true;
        deadline = now() + std::chrono::microseconds(rng() % 40000);
      }
    }
    kill(pid, SIGKILL);
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, n);
    close(fds[0]);
    int wstatus = 0;
    ASSERT_EQ(waitpid(pid, &wstatus, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == SIGKILL)
        << "worker ended on its own: " << wstatus << "\n" << out;

    // Acknowledged changes go into the model; the last one may be in flight.
    std::optional<Change> pending;
    std::stringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("I ", 0) == 0) {
        std::stringstream fields(line.substr(2));
        std::string kind, cls, name, value;
        fields >> kind >> cls >> name >> value;
        pending = Change{cls + " " + name, kind == "D" ? std::nullopt : std::optional(value)};
      } else if (line == "A") {
        ASSERT_TRUE(pending.has_value());
        record(model, *pending);
        pending.reset();
        acknowledged++;
      }
    }

    if (pending.has_value()) mid_change++;
    ASSERT_EQ(NS__InitNameObj(data.c_str()), NS_S_OK);
    State loaded = loaded_state();
    NS__TermNameObj();
    if (loaded != model) {
      ASSERT_TRUE(pending.has_value()) << "an acknowledged change is missing";
      State with_pending = model;
      record(with_pending, *pending);
      ASSERT_EQ(loaded, with_pending) << "the registry is neither before nor after the change";
      model = loaded;
    }
  }
  // Most kills must land amid a change, or the test proves little.
  EXPECT_GT(mid_change, kRounds / 2);
  EXPECT_GT(acknowledged, kRounds / 2);
}

}  // namespace
