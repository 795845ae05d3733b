#include "service/qormain.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "registry/status.h"
#include "testutil.h"

TEST(Qormain, StopRequestSignalsTheEndOfRun) {
  ASSERT_EQ(qor_create_endproc(), NS_S_OK);
  qor_event* ev = qor_endproc();
  ASSERT_NE(ev, nullptr);
  ASSERT_EQ(qor_create_endproc(), NS_S_OK);  // a second call keeps the same event
  EXPECT_EQ(qor_endproc(), ev);
  ev->reset();
  EXPECT_EQ(ev->wait(0), QOR_WAIT_TIMEOUT);

  ElogCapture cap;
  NS__qor_stop();
  NS__qor_stop();  // signalling twice is harmless
  EXPECT_EQ(ev->wait(0), QOR_WAIT_SIGNALLED);
  EXPECT_EQ(ev->wait(), QOR_WAIT_SIGNALLED);
  EXPECT_TRUE(cap.lines().empty());
  ev->reset();
}

TEST(Qormain, StopRequestThatCannotSignalEndsTheProcessWithZero) {
  // A fresh process with no end-of-run event: the signal fails with the
  // platform's invalid-handle error (6).
  ElogCapture cap;
  EXPECT_EQ(run_tool("elog_probe", "stop"), 0);
  std::vector<std::string> lines = cap.lines();
  ASSERT_EQ(lines.size(), 2u);
  static const std::regex win32(
      R"re(\{"id":"0xC0000003","type":1,"strings":\["6","([0-9a-f]+)"\],)re"
      R"re("text":"65-101 A WIN32 error has occured: 6 ([0-9a-f]+)\."\})re");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, win32)) << lines[0];
  // Location code of the service host: module 1.
  EXPECT_EQ(std::strtoul(m[1].str().c_str(), nullptr, 16) >> 24, 1u);
  EXPECT_EQ(
      lines[1],
      R"({"id":"0x40000002","type":4,"strings":[],"text":"The Varnelith Name Service has completed."})");
}
