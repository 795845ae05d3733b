// The test programs' main. Without the service's end-of-run event a stop
// request (NS__qor_stop) ends the process at once with exit code 0, and the
// test that made it would pass: here it is signalled, and fails the program.
// A test that leaves a descriptor open fails too: a service that runs for
// months runs out of any it leaks.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "service/qormain.h"

struct DescriptorCheck : testing::EmptyTestEventListener {
  static long fds() { return std::distance(std::filesystem::directory_iterator("/dev/fd"), {}); }
  long before = fds();
  void OnTestStart(const testing::TestInfo&) override { before = fds(); }
  void OnTestEnd(const testing::TestInfo&) override { EXPECT_EQ(fds(), before); }
};

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::UnitTest::GetInstance()->listeners().Append(new DescriptorCheck);
  if (qor_create_endproc() != 0) return 1;
  int failed = RUN_ALL_TESTS();
  if (qor_endproc()->wait(0) == QOR_WAIT_TIMEOUT) return failed;
  std::fputs("a test asked the service to stop (NS__qor_stop)\n", stderr);
  return 1;
}
