// Crash-test worker: builds the registry on a data directory and changes it
// for ever (spoolers and groups created, replaced and deleted at random),
// reporting on a pipe each change it is about to make ("I ...") and each one
// acknowledged ("A"). The test kills it with SIGKILL at a random moment and
// checks that the next start holds every acknowledged change.
//
// Usage: registry_crash_child DATADIR SEED FD
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "registry/nameobj.h"
#include "registry/status.h"

namespace {

int report_fd = -1;

// One line to the test, written whole; the worker ends when the test is gone.
__attribute__((format(printf, 1, 2))) void report(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = vdprintf(report_fd, format, args);
  va_end(args);
  if (n < 0) _exit(3);
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
  unsigned long seed = strtoul(argv[2], nullptr, 10);
  std::mt19937 rng(static_cast<unsigned>(seed));
  int status = NS__InitNameObj(argv[1]);
  if (status != NS_S_OK) {
    report("F init %d\n", status);
    return 1;
  }
  report("R\n");
  for (unsigned long serial = 0;; serial++) {
    bool group = rng() % 3 == 0;
    char name[16], value[48], binding[80];
    snprintf(name, sizeof name, "%c%u", group ? 'g' : 's', static_cast<unsigned>(rng() % 24));
    snprintf(value, sizeof value, "%lu-%lu", seed, serial);
    const char* cls = group ? "group" : "spooler";
    qorobjid obj{group ? NS_CLASS_GROUP : NS_CLASS_SPOOLER, name, nullptr};
    if (rng() % 4 == 0) {
      report("I D %s %s\n", cls, name);
      status = NS__DeleteObj(&obj);
      if (status != NS_S_OK && status != NS_S_NOENTRY) return 4;
    } else {
      report("I C %s %s %s\n", cls, name, value);
      int created = 0;
      if (group) {
        qorobjid member{NS_CLASS_LP, value, nullptr};
        qorobjects mbr{1, &member};
        status = NS__CreateObj(&obj, nullptr, 1, nullptr, &mbr, &created);
      } else {
        snprintf(binding, sizeof binding, "ncacn_ip_tcp:10.0.0.1[%s]", value);
        char* bindings[] = {binding};
        char host[] = "crashhost";
        qor_serverinfo sv{{1, bindings}, host, 0};
        status = NS__CreateObj(&obj, nullptr, 1, &sv, nullptr, &created);
      }
      if (status != NS_S_OK) return 5;
    }
    report("A\n");
  }
}
