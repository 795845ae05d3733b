#include "service/elog.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "registry/status.h"
#include "service/elog_messages.h"
#include "service/qorutil.h"
#include "testutil.h"

// The journal sink (an empty QOR_EVENTLOG is unset) in a child with a mount namespace of its own,
// whose /run holds a journal socket of the test's: what sd_journal_sendv delivers there, field by
// field. A value with a line feed travels in the journal's length-prefixed form; an error
// identifier reported as a warning gets a warning's priority; in console mode the event is also one
// line on standard error. The same /run shows the settings guards' directory as qor makes it.
// Skipped without that /run.
TEST(Elog, JournalGetsTheFieldsAndTheLocaleText) {
  ScopedEnv cap("QOR_EVENTLOG", ""), a("LC_ALL", nullptr), m("LC_MESSAGES", nullptr),
      l("LANG", "ja_JP.UTF-8");
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0)
      _exit(77);
    mkdir("/run/systemd", 0755);
    mkdir("/run/systemd/journal", 0755);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strcpy(sa.sun_path, "/run/systemd/journal/socket");
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) _exit(77);
    if (NS__LogInit() != NS_S_OK || dup2(fds[1], STDERR_FILENO) < 0) _exit(1);
    qor_elog_set_console(true);
    if (NS__Log_S(NS_EVENT_WARNING, NS_EV_NO_HOSTADDR, "multi\nline") != NS_S_OK) _exit(2);
    // The settings guards' directory made afresh is open to every account, whatever the umask.
    struct stat st;
    umask(022);
    if (mkdir("/run/lock", 01777) != 0 || NS__GetRegInt("QorTestUnset", 7) != 7 ||
        stat("/run/lock/qor", &st) != 0 || st.st_mode != (S_IFDIR | 01777))
      _exit(4);
    static char buf[65536];
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    _exit(n > 0 && write(fds[1], buf, static_cast<size_t>(n)) == n ? 0 : 3);
  }
  close(fds[1]);
  std::string gram;
  char buf[4096];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
    gram.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private mount namespace";
  ASSERT_EQ(WEXITSTATUS(status), 0);
  std::string text = "65-108 ホスト名multi\nlineのIPアドレスを取得できません。";
  EXPECT_EQ(gram, "qor: warning 0xC000000A: " + text + "\nMESSAGE\n" + char(text.size()) +
                      std::string(7, '\0') + text +
                      "\nPRIORITY=4\nSYSLOG_IDENTIFIER=qor\nQOR_EVENT_ID=0xC000000A\n"
                      "QOR_EVENT_TYPE=2\nQOR_STRING1\n" +
                      char(10) + std::string(7, '\0') + "multi\nline\n");
}

// The capture sink: an identifier outside the message table keeps its strings, a text longer than
// any stack buffer arrives whole, and a file that cannot take the line fails the report.
TEST(Elog, CaptureCarriesEveryTextOrFails) {
  ElogCapture cap;
  std::string big(3000, 'x');
  const char* arg[] = {"a", big.c_str()};
  ASSERT_EQ(NS__LogWrite(NS_EVENT_WARNING, 0x40001234, 2, arg), NS_S_OK);
  ASSERT_EQ(cap.lines().size(), 1u);
  EXPECT_NE(cap.lines()[0].find("\"event 0x40001234: a " + big + "\"}"), std::string::npos);
  ScopedEnv full("QOR_EVENTLOG", "file:/dev/full");
  EXPECT_EQ(NS__LogWrite(NS_EVENT_WARNING, 0x40001234, 2, arg), NS_S_SYSFAIL);
}
