#include <gtest/gtest.h>

#include "platform/system/Log.h"
#include "platform/system/SystemInfo.h"

TEST(Log, SilentWithoutSinkAndCapturedWithOne) {
  BridgeNSLog("lost %d", 1);  // no sink: nothing happens, nothing crashes
  {
    tarvell::LogCapture capture;
    BridgeNSLog("OpenMyDevice()");
    BridgeNSLog(" > location 0x%08x", 0x14100000u);
    ASSERT_EQ(capture.lines().size(), 2u);
    EXPECT_TRUE(capture.contains(" > location 0x14100000"));
    {
      tarvell::LogCapture inner;
      BridgeNSLog("inner");
      EXPECT_EQ(inner.lines().size(), 1u);
    }
    BridgeNSLog("outer again");
    EXPECT_EQ(capture.lines().back(), "outer again");
  }
}

TEST(SystemInfo, VersionQueryCanBeSetAndFailed) {
  SInt32 v = 0;
  EXPECT_EQ(QuerySystemInfo(kSystemVersionSelector, &v), noErr);
  EXPECT_EQ(v, kDefaultSystemVersion);
  EXPECT_NE(QuerySystemInfo(FourCC("abcd"), &v), noErr);
  tarvell::SetSystemVersion(0x1028);
  EXPECT_EQ(QuerySystemInfo(kSystemVersionSelector, &v), noErr);
  EXPECT_EQ(v, 0x1028);
  tarvell::testing::FailNext(tarvell::SystemCall::kVersionQuery, 1, tarvell::testing::Fails::kFromThenOn);
  EXPECT_NE(QuerySystemInfo(kSystemVersionSelector, &v), noErr);
  tarvell::testing::FailNext(tarvell::SystemCall::kVersionQuery, 0);
  tarvell::SetSystemVersion(kDefaultSystemVersion);
}

TEST(SystemInfo, ClockCanBeFixed) {
  std::tm t{};
  t.tm_year = 126;
  t.tm_mon = 11;
  t.tm_mday = 8;
  tarvell::SetFixedLocalTime(t);
  EXPECT_EQ(CurrentLocalTime().tm_mday, 8);
  tarvell::SetFixedLocalTime(std::nullopt);
  EXPECT_GE(CurrentLocalTime().tm_year, 120);
}
