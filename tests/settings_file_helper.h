// Test helpers: a private temporary directory with a settings file that QOR_CONFIG names while
// the holder lives, and scoped environment variables. The environment is restored afterwards.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    if (old != nullptr) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

class ScopedSettingsFile {
 public:
  ScopedSettingsFile()
      : dir_(MakeDir()), path_(dir_ + "/qor.conf"), env_("QOR_CONFIG", path_.c_str()) {}
  ~ScopedSettingsFile() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  ScopedSettingsFile(const ScopedSettingsFile&) = delete;
  ScopedSettingsFile& operator=(const ScopedSettingsFile&) = delete;

  // Replaces the settings file's content.
  void Write(const std::string& text) const { WriteFile(path_, text); }
  // Writes another file of the test's directory and returns its path.
  std::string WriteFile(const std::string& name, const std::string& text) const {
    std::string path = name.find('/') == std::string::npos ? dir_ + "/" + name : name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    EXPECT_TRUE(out.good()) << path;
    return path;
  }
  const std::string& dir() const { return dir_; }
  const std::string& path() const { return path_; }

 private:
  static std::string MakeDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "qor-settings-XXXXXX").string();
    char* made = mkdtemp(tmpl.data());
    EXPECT_NE(made, nullptr);
    return tmpl;
  }

  std::string dir_;
  std::string path_;
  ScopedEnv env_;
};
