// The driver fixture with the simulated scanner on the bus and helpers to run a scan through
// the host callbacks.
#pragma once

#include <ctime>
#include <memory>

#include "sim/SimulatedScanner.h"
#include "tests/driver/DriverTestFixture.h"
#include "usb/ScanJob.h"

class ScanTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    glJobName.clear();
    std::tm when{};
    when.tm_year = 2004 - 1900;
    when.tm_mon = 2;
    when.tm_mday = 7;
    when.tm_hour = 9;
    when.tm_min = 5;
    when.tm_sec = 2;
    tarvell::SetFixedLocalTime(when);
  }
  void TearDown() override {
    tarvell::SetFixedLocalTime(std::nullopt);
    tarvell::testing::FailNext(tarvell::ica::HostCall::kNewObjectInfoCreated, 0, noErr);
    tarvell::testing::FailNext(tarvell::ica::HostCall::kCreateEventDataCookie, 0, noErr);
    tarvell::testing::FailNext(tarvell::ica::HostCall::kInitiateNotification, 0, noErr);
    tarvell::testing::FailNext(tarvell::ica::HostCall::kGetStandardPropertyData, 0, noErr);
    DriverTest::TearDown();
  }

  // Puts the simulated scanner on the bus and opens it with a session.
  ScannerObjectInfo* OpenSimulated(const tarvell::sim::SimulatedScannerOptions& options = {}) {
    sim_ = tarvell::sim::InstallSimulatedScanner(*bus_, options);
    ScannerObjectInfo* device = OpenScanner(options.locationID);
    if (device) {
      EXPECT_EQ(tarvell::ica::OpenSession(device), noErr);
    }
    return device;
  }

  // Sets one scan area directly (pixels at `res`).
  static void SetArea(ScannerObjectInfo* device, UInt32 res, UInt8 colorMode, UInt8 dataFormat, UInt32 x, UInt32 y,
                      UInt32 w, UInt32 h) {
    CSimpleScanner* scanner = Scanner(device);
    scanner->m_scanAreas.reset(new ScanningParamBlock[1]);
    scanner->m_scanAreas[0] = ScanningParamBlock{res, res, x, y, w, h, colorMode, dataFormat, 100, 100};
    scanner->m_scanAreaCount = 1;
  }

  static ICAError Start(ScannerObjectInfo* device) {
    ICD_ScannerStartPB pb;
    return _ICD_ScannerStart(device, &pb);
  }

  // The record the host made for the scanner's current file, or null.
  static ScannerObjectInfo* FileRecord(ScannerObjectInfo* device) {
    return tarvell::ica::FindObjectRecord(Scanner(device)->m_fileObject);
  }

  std::shared_ptr<tarvell::sim::SimulatedScanner> sim_;
};
