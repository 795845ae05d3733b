// Shared by the tests: temporary directories, whole files, scoped environment variables and
// settings files, the allocation-failure loop and the event-log capture.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "service/elog.h"

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  EXPECT_TRUE(out.good()) << path;
}

// A private temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "qor-test-XXXXXX").string();
    EXPECT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

// Sets (or, with null, removes) an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    set(name, value);
  }
  ~ScopedEnv() { set(name_.c_str(), old_ ? old_->c_str() : nullptr); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  static void set(const char* name, const char* value) {
    value != nullptr ? setenv(name, value, 1) : unsetenv(name);
  }
  std::string name_;
  std::optional<std::string> old_;
};

// A settings file in a directory of its own, named by QOR_CONFIG while the holder lives.
class ScopedSettingsFile : public TempDir {
 public:
  ScopedSettingsFile() : path_(dir() + "/qor.conf"), env_("QOR_CONFIG", path_.c_str()) {}
  void Write(const std::string& text) const { write_file(path_, text); }
  // Writes another file of the directory and returns its path.
  std::string WriteFile(const std::string& name, const std::string& text) const {
    write_file(dir() + "/" + name, text);
    return dir() + "/" + name;
  }

 private:
  std::string path_;
  ScopedEnv env_;
};

// Calls `attempt()` with allocation N failing for N = 1, 2, ... until a run in which the injected
// failure no longer fires; `attempt` makes its calls, checks what each failure left behind and
// returns true when everything succeeded. The run without a failure must succeed; with `strict`
// every failure must show as well (callers that fall back to a default on failure pass false).
// Returns how many runs had a failure.
template <typename F>
int for_each_alloc_failure(F attempt, bool strict = true) {
  for (long n = 1; n < 100000; ++n) {
    SCOPED_TRACE(::testing::Message() << "allocation " << n << " failing");
    qor_alloc_fail_at(n);
    bool ok = attempt();
    bool fired = qor_alloc_failed();
    qor_alloc_fail_at(0);
    if (!fired) {
      EXPECT_TRUE(ok) << "failed without an injected failure";
      return static_cast<int>(n - 1);
    }
    EXPECT_TRUE(!strict || !ok) << "failure went unnoticed";
  }
  ADD_FAILURE() << "runaway";
  return -1;
}

// Event-log reports go to a capture file (QOR_EVENTLOG=file:PATH) for the life of the object;
// the event log is initialised if it was not.
class ElogCapture : TempDir {
 public:
  ElogCapture() : env_("QOR_EVENTLOG", ("file:" + dir() + "/events").c_str()) {
    EXPECT_EQ(NS__LogInit(), 0);
  }
  // The JSON lines reported so far.
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::ifstream in(dir() + "/events");
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

 private:
  ScopedEnv env_;
};
