// Crash-test worker: builds the registry on a data directory and changes it
// for ever (spoolers and groups created, replaced and deleted at random),
// reporting on a pipe each change it is about to make ("I ...") and each one
// acknowledged ("A"). The test kills it with SIGKILL at a random moment and
// checks that the next start holds every acknowledged change.
//
// Usage: registry_crash_child DATADIR SEED FD
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "registry/nameobj.h"
#include "registry/status.h"

namespace {

int report_fd = -1;

void report(const std::string& line) {
  std::string out = line + "\n";
  if (write(report_fd, out.data(), out.size()) != static_cast<ssize_t>(out.size())) _exit(3);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s DATADIR SEED FD\n", argv[0]);
    return 2;
  }
  static char domain[] = "DOM";
  NS__ms_domain = domain;
  report_fd = atoi(argv[3]);
  std::mt19937 rng(static_cast<unsigned>(strtoul(argv[2], nullptr, 10)));
  int status = NS__InitNameObj(argv[1]);
  if (status != NS_S_OK) {
    report("F init " + std::to_string(status));
    return 1;
  }
  report("R");
  for (unsigned long serial = 0;; serial++) {
    bool group = rng() % 3 == 0;
    std::string name = (group ? "g" : "s") + std::to_string(rng() % 24);
    std::string value =
        std::to_string(strtoul(argv[2], nullptr, 10)) + "-" + std::to_string(serial);
    const char* cls = group ? "group" : "spooler";
    qorobjid obj{group ? NS_CLASS_GROUP : NS_CLASS_SPOOLER, name.data(), nullptr};
    if (rng() % 4 == 0) {
      report("I D " + std::string(cls) + " " + name);
      status = NS__DeleteObj(&obj);
      if (status != NS_S_OK && status != NS_S_NOENTRY) return 4;
    } else {
      report("I C " + std::string(cls) + " " + name + " " + value);
      int created = 0;
      if (group) {
        qorobjid member{NS_CLASS_LP, value.data(), nullptr};
        qorobjects mbr{1, &member};
        status = NS__CreateObj(&obj, nullptr, 1, nullptr, &mbr, &created);
      } else {
        std::string binding = "ncacn_ip_tcp:10.0.0.1[" + value + "]";
        char* bindings[] = {binding.data()};
        char host[] = "crashhost";
        qor_serverinfo sv{{1, bindings}, host, 0};
        status = NS__CreateObj(&obj, nullptr, 1, &sv, nullptr, &created);
      }
      if (status != NS_S_OK) return 5;
    }
    report("A");
  }
}
