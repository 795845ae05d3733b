#include "platform/fileops.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

class FileOps : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qor-fileops-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    qor_fileops_reset();
  }
  void TearDown() override {
    qor_fileops_reset();
    for (const char* f : {"/a", "/b", "/sub"}) {
      unlink((dir_ + f).c_str());
      rmdir((dir_ + f).c_str());
    }
    rmdir(dir_.c_str());
  }
  std::string dir_;
};

TEST_F(FileOps, RealOperationsDoTheirWork) {
  std::string a = dir_ + "/a", b = dir_ + "/b";
  FILE* fp = qor_fops.open(a.c_str(), "w");
  ASSERT_NE(fp, nullptr);
  EXPECT_EQ(qor_fprintf(fp, "%s %d\n", "line", 1), 0);
  std::string big(2000, 'B');  // longer than the formatting buffer on the stack
  EXPECT_EQ(qor_fprintf(fp, "%s\n", big.c_str()), 0);
  EXPECT_EQ(qor_fops.flush(fp), 0);
  EXPECT_EQ(qor_fops.fsync(fp), 0);
  EXPECT_EQ(qor_fops.close(fp), 0);
  EXPECT_EQ(qor_fops.rename(a.c_str(), b.c_str()), 0);
  struct stat st;
  ASSERT_EQ(qor_fops.stat(b.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, static_cast<off_t>(7 + 2001));
  EXPECT_EQ(qor_fops.stat(a.c_str(), &st), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(qor_fops.fsyncdir(dir_.c_str()), 0);
  EXPECT_EQ(qor_fops.remove(b.c_str()), 0);
  EXPECT_EQ(qor_fops.remove(b.c_str()), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(qor_fops.mkdir((dir_ + "/sub").c_str(), 0700), 0);
  EXPECT_EQ(qor_fileops_calls(QOR_FOP_REMOVE), 2);
}

TEST_F(FileOps, TheNthCallOfOneOperationFailsOnce) {
  std::string a = dir_ + "/a", b = dir_ + "/b";
  qor_fileops_fail_at(QOR_FOP_RENAME, 2, EACCES);
  qor_fileops_fail_at(QOR_FOP_OPEN, 1, EROFS);
  EXPECT_EQ(qor_fops.open(a.c_str(), "w"), nullptr);
  EXPECT_EQ(errno, EROFS);
  EXPECT_TRUE(qor_fileops_failed());
  FILE* fp = qor_fops.open(a.c_str(), "w");  // the next one succeeds again
  ASSERT_NE(fp, nullptr);
  EXPECT_EQ(qor_fops.close(fp), 0);
  EXPECT_EQ(qor_fops.rename(a.c_str(), b.c_str()), 0);   // first rename passes
  EXPECT_EQ(qor_fops.rename(b.c_str(), a.c_str()), -1);  // second fails, does nothing
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(access(b.c_str(), F_OK), 0);
  EXPECT_EQ(qor_fops.rename(b.c_str(), a.c_str()), 0);

  // A failing close still releases the stream (the leak checker would see it).
  qor_fileops_fail_at(QOR_FOP_CLOSE, 1, EIO);
  fp = qor_fops.open(a.c_str(), "w");
  ASSERT_NE(fp, nullptr);
  EXPECT_EQ(qor_fops.close(fp), EOF);
  EXPECT_EQ(errno, EIO);

  qor_fileops_fail_at(QOR_FOP_MKDIR, 1, EACCES);
  qor_fileops_reset();  // cancels every injection
  EXPECT_FALSE(qor_fileops_failed());
  EXPECT_EQ(qor_fops.mkdir((dir_ + "/sub").c_str(), 0700), 0);
}

}  // namespace
