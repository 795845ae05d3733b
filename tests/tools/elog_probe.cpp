// Runs the event log against a sink of its own in a fresh process:
//   elog_probe journal      in a private mount namespace, a journal socket of
//   elog_probe syslog       its own (or a /dev/log of its own, with no journal):
//                           two reports, then every datagram received written
//                           to standard output, each followed by "\n@@\n".
//                           Exit code 77 when the namespace cannot be had.
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "registry/status.h"
#include "service/elog.h"

namespace {

constexpr int SKIP = 77;

// A mount namespace of this process alone, with empty tmpfs over `dirs`, so
// that sockets bound there reach no other process. False when not permitted.
bool private_dirs(std::initializer_list<const char*> dirs) {
  if (unshare(CLONE_NEWNS) != 0) return false;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  for (const char* dir : dirs)
    if (mount("tmpfs", dir, "tmpfs", 0, "mode=0755") != 0) return false;
  return true;
}

// A datagram socket bound at `path`; -1 on failure.
int bound_socket(const char* path) {
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int report_and_dump(int fd) {
  if (NS__LogInit() != NS_S_OK) return 4;
  if (NS__Log_UU(NS_EVENT_ERROR, NS_EV_WIN32, 6, 0x10002a1) != NS_S_OK) return 5;
  if (NS__Log_S(NS_EVENT_WARNING, NS_EV_NO_HOSTADDR, "multi\nline") != NS_S_OK) return 5;
  static char buf[65536];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0) break;
    fwrite(buf, 1, static_cast<size_t>(n), stdout);
    fputs("\n@@\n", stdout);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const char* mode = argv[1];
  if (std::strcmp(mode, "journal") == 0) {
    if (!private_dirs({"/run"})) return SKIP;
    mkdir("/run/systemd", 0755);
    mkdir("/run/systemd/journal", 0755);
    int fd = bound_socket("/run/systemd/journal/socket");
    return fd < 0 ? SKIP : report_and_dump(fd);
  }
  if (std::strcmp(mode, "syslog") == 0) {
    // The empty /run hides any real journal.
    if (!private_dirs({"/run", "/dev"})) return SKIP;
    int fd = bound_socket("/dev/log");
    return fd < 0 ? SKIP : report_and_dump(fd);
  }
  return 2;
}
