#include <cstring>
#include <stdexcept>

#include "driver/CallbackGuard.h"

#include "tests/driver/DriverTestFixture.h"

namespace {

ICAError HostSentinel(void*) { return 12345; }

class DriverEntryTest : public DriverTest {};

TEST_F(DriverEntryTest, CallbacksGoToTheirPositionsAndTheHostsStay) {
  ICD_ScannerCallbackFunctions& table = gICDScannerCallbackFunctions;
  std::memset(&table, 0, sizeof table);
  table.hostReserved1 = HostSentinel;
  table.hostReserved12 = HostSentinel;
  table.hostReserved13 = HostSentinel;
  RegisterScannerCallbacks();

  void* const* slots = reinterpret_cast<void* const*>(&table);
  auto at = [&](int position) { return slots[position]; };
  EXPECT_EQ(at(0), reinterpret_cast<void*>(_ICD_ScannerOpenDevice));
  EXPECT_EQ(at(1), reinterpret_cast<void*>(HostSentinel));
  EXPECT_EQ(at(2), reinterpret_cast<void*>(_ICD_ScannerCloseDevice));
  EXPECT_EQ(at(3), reinterpret_cast<void*>(_ICD_ScannerPeriodicTask));
  EXPECT_EQ(at(4), reinterpret_cast<void*>(_ICD_ScannerGetObjectInfo));
  EXPECT_EQ(at(5), reinterpret_cast<void*>(_ICD_ScannerCleanup));
  EXPECT_EQ(at(6), reinterpret_cast<void*>(_ICD_ScannerGetPropertyData));
  EXPECT_EQ(at(7), reinterpret_cast<void*>(_ICD_ScannerSetPropertyData));
  EXPECT_EQ(at(8), reinterpret_cast<void*>(_ICD_ScannerReadFileData));
  EXPECT_EQ(at(9), reinterpret_cast<void*>(_ICD_ScannerWriteFileData));
  EXPECT_EQ(at(10), reinterpret_cast<void*>(_ICD_ScannerSendMessage));
  EXPECT_EQ(at(11), reinterpret_cast<void*>(_ICD_ScannerAddPropertiesToCFDictionary));
  EXPECT_EQ(at(12), reinterpret_cast<void*>(HostSentinel));
  EXPECT_EQ(at(13), reinterpret_cast<void*>(HostSentinel));
  EXPECT_EQ(at(14), reinterpret_cast<void*>(_ICD_ScannerOpenSession));
  EXPECT_EQ(at(15), reinterpret_cast<void*>(_ICD_ScannerCloseSession));
  EXPECT_EQ(at(16), reinterpret_cast<void*>(_ICD_ScannerInitialize));
  EXPECT_EQ(at(17), reinterpret_cast<void*>(_ICD_ScannerGetParameters));
  EXPECT_EQ(at(18), reinterpret_cast<void*>(_ICD_ScannerSetParameters));
  EXPECT_EQ(at(19), reinterpret_cast<void*>(_ICD_ScannerStatus));
  EXPECT_EQ(at(20), reinterpret_cast<void*>(_ICD_ScannerStart));
}

TEST_F(DriverEntryTest, MainSetsTheIntervalAndRunsTheHost) {
  gTimerValueInSeconds = 0;
  std::memset(&gICDScannerCallbackFunctions, 0, sizeof gICDScannerCallbackFunctions);
  char program[] = "scanner-module";
  char command[] = "list";
  char simulate[] = "--simulate";
  char* argv[] = {program, command, simulate, nullptr};
  testing::internal::CaptureStdout();
  int status = DriverMain(3, argv);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, "location 0x01100000: Tarvell K310 (USB)\n");
  EXPECT_EQ(gTimerValueInSeconds, 1.0);
  EXPECT_EQ(log_.lines().front(), "main()");
  EXPECT_EQ(gICDScannerCallbackFunctions.scannerOpenDevice, _ICD_ScannerOpenDevice);
  // The host closed what it opened, and gave the test's bus back.
  EXPECT_TRUE(gType1Map.empty());
  EXPECT_EQ(tarvell::usb::ActiveBus(), bus_);
}

TEST(CallbackGuardTest, ExceptionsBecomeStatuses) {
  EXPECT_EQ(GuardCallback([]() -> ICAError { throw std::bad_alloc(); }), memFullErr);
  EXPECT_EQ(GuardCallback([]() -> ICAError { throw std::runtime_error("x"); }), paramErr);
  EXPECT_EQ(GuardCallback([]() -> ICAError { return -9; }), -9);
}

}  // namespace
