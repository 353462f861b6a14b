#include "host/ConfigSearch.h"
#include "sane/SaneConfig.h"
#include "sim/SimulatedScanner.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvell::sane {
namespace {

using tarvell::host::ConfigSearchPath;

BackendConfig Parse(const std::string& text) {
  std::istringstream in(text);
  return ParseConfig(in, "test.conf");
}

TEST(SaneConfig, CommentsBlankLinesAndBothUsbForms) {
  BackendConfig c = Parse(
      "# a comment\n"
      "\n"
      "   \t \n"
      "usb 0x2b7e 0x0c5a   # the scanner, found by identity\n"
      "usb 0x01400000\n"
      "usb 18276 3162\n");
  EXPECT_TRUE(c.warnings.empty());
  EXPECT_FALSE(c.simulate());
  EXPECT_FALSE(c.endAtJobEnd);
  EXPECT_TRUE(Parse("end-at-job-end   # no 15 s wait a page\n").endAtJobEnd);
  ASSERT_EQ(c.usb.size(), 3u);
  EXPECT_FALSE(c.usb[0].byLocation);
  EXPECT_EQ(c.usb[0].vendorID, 0x2B7E);
  EXPECT_EQ(c.usb[0].productID, 0x0C5A);
  EXPECT_TRUE(c.usb[1].byLocation);
  EXPECT_EQ(c.usb[1].locationID, 0x01400000u);
  EXPECT_EQ(c.usb[2].vendorID, 18276);  // decimal works too
}

TEST(SaneConfig, SimulateLinesGetTheirOwnPortsAndMisbehaviour) {
  BackendConfig c = Parse(
      "simulate\n"
      "simulate timeouts-before-data=6 gone-after-bytes=4096 exception-for=create,start corrupt-header\n"
      "simulate location=0x02300000 short-image-by=10 no-reply-for=done split-reply-for=start "
      "unknown-packets packet-size=512 seed=7 layout=alt-setting\n");
  EXPECT_TRUE(c.warnings.empty());
  ASSERT_EQ(c.simulated.size(), 3u);
  EXPECT_EQ(c.simulated[0].locationID, 0x01100000u);
  EXPECT_EQ(c.simulated[0].misbehave.goneAfterBytes, -1);
  EXPECT_EQ(c.simulated[1].locationID, 0x01200000u);
  const auto& m = c.simulated[1].misbehave;
  EXPECT_EQ(m.timeoutsBeforeData, 6);
  EXPECT_EQ(m.goneAfterBytes, 4096);
  EXPECT_EQ(m.exceptionFor, (std::vector<std::string>{"create", "start"}));
  EXPECT_TRUE(m.corruptHeader);
  const auto& third = c.simulated[2];
  EXPECT_EQ(third.locationID, 0x02300000u);
  EXPECT_EQ(third.misbehave.shortImageBy, 10u);
  EXPECT_EQ(third.misbehave.noReplyFor, std::vector<std::string>{"done"});
  EXPECT_EQ(third.misbehave.splitReplyFor, std::vector<std::string>{"start"});
  EXPECT_TRUE(third.misbehave.unknownPackets);
  EXPECT_EQ(third.imagePacketSize, 512u);
  EXPECT_EQ(third.seed, 7u);
  EXPECT_EQ(third.layout, tarvell::sim::K310Layout::kAltSetting1);
}

TEST(SaneConfig, BadLinesAreSkippedWithTheirLineNumber) {
  BackendConfig c = Parse(
      "usb\n"                                // 1: nothing to use
      "usb 0x2b7e\n"                         // 2: a vendor without its product, not a location
      "usb 0x12345 0x1\n"                    // 3: vendor too large
      "usb -1\n"                             // 4
      "usb 0\n"                              // 5: no location
      "simulate gone-after-bytes\n"          // 6: needs a number
      "simulate gone-after-bytes=-5\n"       // 7
      "simulate timeouts-before-data=12x\n"  // 8
      "simulate exception-for=\n"            // 9
      "simulate corrupt-header=yes\n"        // 10
      "simulate frobnicate\n"                // 11
      "simulate location=0\n"                // 12
      "simulate packet-size=0\n"             // 13
      "scanner fast\n"                       // 14
      "simulate\n");                         // 15: good
  ASSERT_EQ(c.warnings.size(), 14u);
  EXPECT_EQ(c.warnings[0].rfind("test.conf:1: ", 0), 0u) << c.warnings[0];
  EXPECT_EQ(c.warnings[1].rfind("test.conf:2: 'usb 0x2b7e' is no location", 0), 0u) << c.warnings[1];
  EXPECT_EQ(c.warnings[2].rfind("test.conf:3: ", 0), 0u) << c.warnings[2];
  EXPECT_NE(c.warnings[5].find("needs a number"), std::string::npos) << c.warnings[5];
  EXPECT_NE(c.warnings[10].find("frobnicate"), std::string::npos) << c.warnings[10];
  EXPECT_NE(c.warnings[13].find("'scanner'"), std::string::npos) << c.warnings[13];
  EXPECT_TRUE(c.usb.empty());
  // Skipped simulate lines take no port: the good one is the first simulated scanner.
  ASSERT_EQ(c.simulated.size(), 1u);
  EXPECT_EQ(c.simulated[0].locationID, 0x01100000u);
}

TEST(SaneConfig, CaptureAndReplayLinesNameTheirFiles) {
  BackendConfig c = Parse("capture /tmp/scan.pcap\nreplay /tmp/real.pcapng@1.5\ncapture\n");
  EXPECT_EQ(c.capture, "/tmp/scan.pcap");
  EXPECT_EQ(c.replay, "/tmp/real.pcapng@1.5");
  ASSERT_EQ(c.warnings.size(), 1u);
  EXPECT_EQ(c.warnings[0], "test.conf:3: 'capture' takes one file name; line skipped");
}

TEST(SaneConfig, SearchPathFollowsSaneConfigDirThenTheSystemFolders) {
  EXPECT_EQ(ConfigSearchPath(nullptr, {"/etc/sane.d"}), std::vector<std::string>{"/etc/sane.d"});
  EXPECT_EQ(ConfigSearchPath("/a:/b:", {"/usr/local/etc/sane.d", "/etc/sane.d"}),
            (std::vector<std::string>{"/a", "/b", "/usr/local/etc/sane.d", "/etc/sane.d"}));
  // Repeats and empty parts are dropped.
  EXPECT_EQ(ConfigSearchPath("/etc/sane.d::/a", {"/etc/sane.d", "/etc/sane.d"}),
            (std::vector<std::string>{"/etc/sane.d", "/a"}));
}

TEST(SaneConfig, TheFirstFolderWithTheFileWins) {
  char pattern[] = "/tmp/tarvell-sane-config-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string root = pattern;
  const std::string empty = root + "/empty", first = root + "/first", second = root + "/second";
  for (const std::string& dir : {empty, first, second}) ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  std::ofstream(first + "/tarvell.conf") << "simulate\n";
  std::ofstream(second + "/tarvell.conf") << "usb 0x01100000\n";

  BackendConfig c = LoadConfig({root + "/missing", empty, first, second});
  EXPECT_EQ(c.path, first + "/tarvell.conf");
  EXPECT_TRUE(c.simulate());
  EXPECT_TRUE(c.usb.empty());

  BackendConfig none = LoadConfig({empty});
  EXPECT_TRUE(none.path.empty());
  EXPECT_FALSE(none.simulate());
  EXPECT_TRUE(none.usb.empty());

  for (const std::string& file : {first + "/tarvell.conf", second + "/tarvell.conf"}) std::remove(file.c_str());
  for (const std::string& dir : {empty, first, second, root}) rmdir(dir.c_str());
}

}  // namespace
}  // namespace tarvell::sane
