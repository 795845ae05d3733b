// Test helpers for the event log: a capture file (QOR_EVENTLOG=file:PATH) whose JSON lines a
// test reads back, and a test tool run in a fresh process.
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "service/elog.h"
#include "settings_file_helper.h"

// Reports go to a fresh file for the life of the object; the event log is
// initialised if it was not.
class ElogCapture {
 public:
  ElogCapture() {
    path_ = (std::filesystem::temp_directory_path() / "qor-elog-XXXXXX").string();
    int fd = mkstemp(path_.data());
    EXPECT_GE(fd, 0);
    if (fd >= 0) close(fd);
    env_ = new ScopedEnv("QOR_EVENTLOG", ("file:" + path_).c_str());
    EXPECT_EQ(NS__LogInit(), 0);
  }
  ~ElogCapture() {
    delete env_;
    unlink(path_.c_str());
  }
  ElogCapture(const ElogCapture&) = delete;
  ElogCapture& operator=(const ElogCapture&) = delete;

  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::ifstream in(path_);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
  }

 private:
  std::string path_;
  ScopedEnv* env_;
};

// Runs tests/tools/<tool> with `arg` in a fresh process, collecting its standard output in `out`
// when given; its exit code, or -1 when it did not exit normally.
inline int run_tool(const char* tool, const char* arg, std::string* out = nullptr) {
  std::string prog = std::string(QOR_TEST_TOOLS_DIR) + "/" + tool;
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    if (out != nullptr) dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    close(fds[1]);
    execl(prog.c_str(), prog.c_str(), arg, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) {
    if (out != nullptr) out->append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
