// Test helpers for the event log: an environment variable set for one scope,
// and a capture file (QOR_EVENTLOG=file:PATH) whose JSON lines a test reads back.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "service/elog.h"

// Sets (or, with null, unsets) one environment variable and puts the old
// value back when it goes out of scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value != nullptr)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (had_)
      setenv(name_.c_str(), old_.c_str(), 1);
    else
      unsetenv(name_.c_str());
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

// Reports go to a fresh file for the life of the object; the event log is
// initialised if it was not.
class ElogCapture {
 public:
  ElogCapture() {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ =
        std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/qor-elog-XXXXXX";
    std::vector<char> name(templ.begin(), templ.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    EXPECT_GE(fd, 0);
    if (fd >= 0) close(fd);
    path_ = name.data();
    env_ = new ScopedEnv("QOR_EVENTLOG", ("file:" + path_).c_str());
    EXPECT_EQ(NS__LogInit(), 0);
  }
  ~ElogCapture() {
    delete env_;
    unlink(path_.c_str());
  }
  ElogCapture(const ElogCapture&) = delete;
  ElogCapture& operator=(const ElogCapture&) = delete;

  const std::string& path() const { return path_; }

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
