// A simulated bus, a fresh host and the module's callbacks registered, for each driver test.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "driver/ScannerCallbacks.h"
#include "platform/ica/HostSteps.h"
#include "platform/ica/ICAHost.h"
#include "platform/ica/ICAHostTesting.h"
#include "platform/system/Log.h"
#include "platform/system/SystemInfo.h"
#include "platform/usb/SimBus.h"
#include "sim/SimulatedScanner.h"

class DriverTest : public ::testing::Test {
 protected:
  static constexpr UInt32 kLocation = 0x01100000;
  static constexpr UInt32 kSecondLocation = 0x01200000;

  void SetUp() override {
    bus_ = tarvell::usb::SimBus::Create();
    tarvell::usb::SetActiveBus(bus_);
    tarvell::ica::ResetHost();
    tarvell::SetSystemVersion(kDefaultSystemVersion);
    tarvell::testing::FailNext(tarvell::SystemCall::kVersionQuery, 0);
    RegisterScannerCallbacks();
  }

  void TearDown() override {
    gType1Map.clear();
    tarvell::ica::ResetHost();
    tarvell::testing::FailNext(plist::Call::kMakeContainer, 0);
    tarvell::SetSystemVersion(kDefaultSystemVersion);
    tarvell::testing::FailNext(tarvell::SystemCall::kVersionQuery, 0);
    tarvell::usb::SetActiveBus(nullptr);
  }

  std::shared_ptr<tarvell::usb::SimDevice> PlugScanner(UInt32 location = kLocation) {
    return bus_->AddDevice(tarvell::sim::MakeK310(location));
  }

  // Opens the scanner at `location` on a host record; fails the test when it does not open.
  ScannerObjectInfo* OpenScanner(UInt32 location = kLocation) {
    ScannerObjectInfo* device = nullptr;
    EXPECT_EQ(tarvell::ica::OpenDeviceAt(location, &device), noErr);
    return device;
  }

  static CSimpleScanner* Scanner(const ScannerObjectInfo* device) {
    return static_cast<CSimpleScanner*>(device->privateData);
  }

  std::shared_ptr<tarvell::usb::SimBus> bus_;
  tarvell::LogCapture log_;
};
