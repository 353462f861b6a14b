#include "cli/CommandLineHost.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using tarvell::sim::ScannerMisbehaviour;

// --sim-fault as the command line reads it.
bool ParseSimulatedFaults(const std::string& faults, ScannerMisbehaviour* out, std::string* error) {
  std::string option = "--sim-fault=" + faults;
  char program[] = "scanner-module", command[] = "scan";
  char* argv[] = {program, command, option.data()};
  tarvell::ica::HostOptions options;
  if (!tarvell::ica::ParseCommandLine(3, argv, &options, error)) return false;
  *out = options.simulated.misbehave;
  return true;
}

TEST(SimulatedScannerSetupTest, FaultListSetsEachMisbehaviour) {
  ScannerMisbehaviour m;
  std::string error;
  ASSERT_TRUE(ParseSimulatedFaults(
      "timeouts-before-data=4,gone-after-bytes=1000,exception-for=create,start,corrupt-header,"
      "no-reply-for=done,split-reply-for=exitHostUSBSendMode,short-image-by=7,unknown-packets",
      &m, &error))
      << error;
  EXPECT_EQ(m.timeoutsBeforeData, 4);
  EXPECT_EQ(m.goneAfterBytes, 1000);
  EXPECT_EQ(m.exceptionFor, (std::vector<std::string>{"create", "start"}));
  EXPECT_EQ(m.noReplyFor, std::vector<std::string>{"done"});
  EXPECT_EQ(m.splitReplyFor, std::vector<std::string>{"exitHostUSBSendMode"});
  EXPECT_EQ(m.shortImageBy, 7u);
  EXPECT_TRUE(m.corruptHeader);
  EXPECT_TRUE(m.unknownPackets);

  ScannerMisbehaviour none;
  EXPECT_TRUE(ParseSimulatedFaults("", &none, &error));
  EXPECT_EQ(none.goneAfterBytes, -1);
}

TEST(SimulatedScannerSetupTest, AnythingElseIsRefusedByName) {
  for (const char* bad : {"start", "corrupt-header,start", "timeouts-before-data=", "timeouts-before-data=x",
                          "gone-after-bytes=-1", "short-image-by=9999999999999999999999", "corrupt-header=1",
                          "exception-for=", "melt"}) {
    ScannerMisbehaviour m;
    std::string error;
    EXPECT_FALSE(ParseSimulatedFaults(bad, &m, &error)) << bad;
    EXPECT_EQ(error.rfind("bad --sim-fault item '", 0), 0u) << error;
  }
}

}  // namespace
