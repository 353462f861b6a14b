#include "cli/CommandLineHost.h"

#include <gtest/gtest.h>

#include "platform/system/SystemInfo.h"
#include "platform/usb/SimBus.h"
#include "sim/SimulatedScanner.h"
#include "tests/platform/ica/FakeModule.h"

namespace {

using namespace tarvell::ica;

struct Outcome {
  int status;
  std::string out, err;
};

Outcome Main(std::vector<std::string> words) {
  std::vector<char*> argv;
  std::string program = "/usr/bin/scanner-module";
  argv.push_back(program.data());
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  int status = ICD_ScannerMain(static_cast<int>(argv.size() - 1), argv.data());
  std::string out = testing::internal::GetCapturedStdout();
  return {status, out, testing::internal::GetCapturedStderr()};
}

class CommandLineHostTest : public FakeModuleTest {
 protected:
  void TearDown() override {
    FakeModuleTest::TearDown();
    SetSimulatedScannerMaker(nullptr);
    tarvell::SetSystemVersion(kDefaultSystemVersion);
  }
};

TEST_F(CommandLineHostTest, BadCommandLinesSayWhyAndExitWith2) {
  struct Case {
    std::vector<std::string> words;
    const char* message;
  } cases[] = {
      {{}, "scanner-module: no command given\n"},
      {{"print"}, "scanner-module: unknown command 'print'\n"},
      {{"list", "--simulat"}, "scanner-module: unknown option '--simulat'\n"},
      {{"list", "-q"}, "scanner-module: unknown option '-q'\n"},
      {{"caps", "--device"}, "scanner-module: option '--device' needs a value (LOCATION)\n"},
      {{"caps", "--device", "0"}, "scanner-module: bad --device '0': give a USB location such as 0x01100000\n"},
      {{"caps", "--device=0x1zz"}, "scanner-module: bad --device '0x1zz': give a USB location such as 0x01100000\n"},
      {{"caps", "--device", "0x100000000"},
       "scanner-module: bad --device '0x100000000': give a USB location such as 0x01100000\n"},
      {{"caps", "--system-version", "-1"},
       "scanner-module: bad --system-version '-1': give a BCD version such as 0x1039\n"},
      {{"list", "--simulate=yes"}, "scanner-module: option '--simulate' takes no value\n"},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.message);
    Outcome run = Main(c.words);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, std::string(c.message) + "Try 'scanner-module --help'.\n");
  }
  // Operands a command does not take.
  module_.devices = {0x01100000};
  Outcome run = Main({"list", "more"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "scanner-module: list takes no operands\n");
  EXPECT_TRUE(module_.calls.empty());
}

TEST_F(CommandLineHostTest, HelpNamesEveryCommandAndOption) {
  Outcome run = Main({"--help"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  for (const HostCommand& command : HostCommandTable())
    EXPECT_NE(run.out.find(std::string("\n  ") + command.synopsis + " "), std::string::npos) << command.name;
  for (const HostOption& option : HostOptionTable())
    EXPECT_NE(run.out.find(std::string("--") + option.longName), std::string::npos) << option.longName;
  EXPECT_NE(run.out.find("-v, --verbose"), std::string::npos);
  EXPECT_EQ(Main({"list", "-h"}).status, 0);
  EXPECT_TRUE(module_.calls.empty());
  // No line is wider than a terminal.
  size_t start = 0;
  for (size_t end; (end = run.out.find('\n', start)) != std::string::npos; start = end + 1)
    EXPECT_LE(end - start, 79u) << run.out.substr(start, end - start);
}

TEST_F(CommandLineHostTest, ListPrintsEveryScannerAndClosesThem) {
  module_.devices = {0x01100000, 0x01200000};
  Outcome run = Main({"list", "--simulate"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "location 0x01100000: Fake Scanner\nlocation 0x01200000: Fake Scanner\n");
  EXPECT_TRUE(module_.open.empty());

  Outcome one = Main({"--device", "0x01200000", "list", "--simulate"});
  EXPECT_EQ(one.status, 0);
  EXPECT_EQ(one.out, "location 0x01200000: Fake Scanner\n");
}

TEST_F(CommandLineHostTest, NoScannerIsAFailure) {
  SetSimulatedScannerMaker([](tarvell::usb::SimBus&) {});  // an empty bus
  Outcome run = Main({"list", "--simulate"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "scanner-module: no scanner found\n");
  SetSimulatedScannerMaker(nullptr);  // the simulated scanner at 0x01100000
  module_.devices = {0x01100000};
  module_.failing = {0x01100000};
  run = Main({"caps", "--simulate"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "scanner-module: cannot open the scanner at location 0x01100000 (status -50)\n");
  run = Main({"caps", "--simulate", "--device", "0x01100000"});
  EXPECT_EQ(run.err, "scanner-module: cannot open the scanner at location 0x01100000 (status -50)\n");
  module_.failing.insert(0x01400000);
  run = Main({"caps", "--simulate", "--device", "0x01400000"});
  EXPECT_EQ(run.err,
            "scanner-module: there is no scanner at location 0x01400000; the scanners connected are at 0x01100000\n");
}

TEST_F(CommandLineHostTest, AScanRefusedForItsOutputNeverReachesTheScanner) {
  module_.devices = {0x01100000};
  for (const char* output : {"/nonexistent/dir/x.tiff", "/", "page.gif"}) {
    Outcome run = Main({"scan", "--simulate", "-o", output});
    EXPECT_NE(run.status, 0) << output;
    EXPECT_TRUE(module_.calls.empty()) << output;
  }
}

TEST_F(CommandLineHostTest, CapsFollowsTheHostsOrder) {
  module_.devices = {0x01100000};
  Outcome run = Main({"caps", "--simulate"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "{\n  \"device\" = {\n    \"resolutionX\" = 600;\n  };\n}\n");
  EXPECT_EQ(module_.calls, (std::vector<std::string>{"open 0", "open 17825792", "open session", "get parameters",
                                                     "close session", "cleanup", "close"}));
}

TEST_F(CommandLineHostTest, TheHostSetsAndRestoresBusAndSystemVersion) {
  auto mine = tarvell::usb::SimBus::Create();
  tarvell::usb::SetActiveBus(mine);
  std::shared_ptr<tarvell::usb::Bus> during;
  SetSimulatedScannerMaker([&](tarvell::usb::SimBus& bus) {
    bus.AddDevice(tarvell::sim::MakeK310(kSimulatedScannerLocation));
    during = tarvell::usb::ActiveBus();  // not yet switched
  });
  gICDScannerCallbackFunctions.scannerOpenDevice = [](UInt32, ScannerObjectInfo*) -> ICAError { return fnfErr; };
  tarvell::SetSystemVersion(0x1039);
  Outcome run = Main({"list", "--simulate", "--system-version", "0x1028"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(during, mine);
  EXPECT_EQ(tarvell::usb::ActiveBus(), mine);
  SInt32 version = 0;
  ASSERT_EQ(QuerySystemInfo(kSystemVersionSelector, &version), noErr);
  EXPECT_EQ(version, 0x1039);
  tarvell::usb::SetActiveBus(nullptr);
}

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

TEST(SimFaultOption, FaultListSetsEachMisbehaviour) {
  ScannerMisbehaviour m;
  std::string error;
  ASSERT_TRUE(
      ParseSimulatedFaults("timeouts-before-data=4,gone-after-bytes=1000,exception-for=create,start,corrupt-header,"
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

TEST(SimFaultOption, AnythingElseIsRefusedByName) {
  for (const char* bad :
       {"start", "corrupt-header,start", "timeouts-before-data=", "timeouts-before-data=x", "gone-after-bytes=-1",
        "short-image-by=9999999999999999999999", "corrupt-header=1", "exception-for=", "melt"}) {
    ScannerMisbehaviour m;
    std::string error;
    EXPECT_FALSE(ParseSimulatedFaults(bad, &m, &error)) << bad;
    EXPECT_EQ(error.rfind("bad --sim-fault item '", 0), 0u) << error;
  }
}

}  // namespace
