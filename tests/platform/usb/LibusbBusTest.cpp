// The libusb backend against an emulated bus: this test builds a bus (two hubs, a keyboard and the
// scanner with a printer and a scanner interface) in a umockdev testbed, plays the scanner's
// usbfs side itself, and runs LibusbProbe with the emulation preloaded. The probe checks the
// backend's answers; this side checks what reached the devices.
#include "platform/usb/LibusbBus.h"

#include <gtest/gtest.h>

#include <libusb.h>

#include <errno.h>
#include <linux/usbdevice_fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <umockdev.h>

#include "tests/support/Program.h"
#include "tests/support/UsbEmulator.h"
#include "tests/support/UsbTestbed.h"

#include <cstddef>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

using namespace tarvell::usb;

TEST(LibusbStatus, EveryLibusbErrorMapsOntoAStatus) {
  EXPECT_EQ(StatusFromLibusb(LIBUSB_SUCCESS), kIOReturnSuccess);
  EXPECT_EQ(StatusFromLibusb(LIBUSB_ERROR_NO_DEVICE), IOReturn(0xE00002C0));
  EXPECT_EQ(StatusFromLibusb(LIBUSB_ERROR_TIMEOUT), kIOReturnTimeout);
  EXPECT_EQ(StatusFromLibusb(LIBUSB_ERROR_PIPE), kIOUSBPipeStalled);
  EXPECT_EQ(StatusFromLibusb(LIBUSB_ERROR_BUSY), kIOReturnExclusiveAccess);
  EXPECT_EQ(StatusFromLibusb(LIBUSB_ERROR_ACCESS), kIOReturnNotPermitted);
  EXPECT_EQ(StatusFromLibusb(LIBUSB_ERROR_OVERFLOW), kIOReturnOverrun);
  for (int e :
       {LIBUSB_ERROR_IO, LIBUSB_ERROR_INVALID_PARAM, LIBUSB_ERROR_ACCESS, LIBUSB_ERROR_NO_DEVICE,
        LIBUSB_ERROR_NOT_FOUND, LIBUSB_ERROR_BUSY, LIBUSB_ERROR_TIMEOUT, LIBUSB_ERROR_OVERFLOW, LIBUSB_ERROR_PIPE,
        LIBUSB_ERROR_INTERRUPTED, LIBUSB_ERROR_NO_MEM, LIBUSB_ERROR_NOT_SUPPORTED, LIBUSB_ERROR_OTHER}) {
    EXPECT_NE(StatusFromLibusb(e), kIOReturnSuccess) << e;
    if (e != LIBUSB_ERROR_TIMEOUT) {
      EXPECT_NE(StatusFromLibusb(e), kIOReturnTimeout) << e;
    }
    if (e != LIBUSB_ERROR_NO_DEVICE) {
      EXPECT_NE(StatusFromLibusb(e), kIOReturnNoDevice) << e;
    }
  }
}

namespace {

using tarvell::testing::Descriptors;
using tarvell::testing::Interface;
using tarvell::testing::kScannerNode;

class LibusbBackend : public tarvell::testing::EmulatedBusTest {
 protected:
  void SetUp() override {
    EmulatedBusTest::SetUp();
    const Interface hubPort{9, {{0x81, 3, 2}}};
    Add("usb1", 1, Descriptors(0x1D6B, 0x0002, 9, {hubPort}));
    Add("usb1/1-4", 2, Descriptors(0x05E3, 0x0610, 9, {hubPort}));
    Add("usb1/1-4/1-4.1", 3,
        Descriptors(0x2B7E, 0x0C5A, 0,
                    {{7, {{0x01, 2, 512}, {0x81, 2, 512}}}, {0xFF, {{0x02, 2, 512}, {0x8B, 2, 512}, {0x88, 2, 512}}}}));
    Add("usb1/1-2", 4, Descriptors(0x1234, 0x5678, 0, {{3, {{0x81, 3, 8}}}}));
  }

  // Runs the probe with the emulation preloaded, serving its ioctls until it exits.
  tarvell::testing::ProgramRun RunProbe() {
    tarvell::testing::ProgramOptions options = tarvell::testing::EmulatedRun();
    options.timeoutSeconds = 120;
    return tarvell::testing::RunProgram({TARVELL_LIBUSB_PROBE}, options);
  }
};

TEST_F(LibusbBackend, FindsOpensAndTalksToTheScannerOnly) {
  const tarvell::testing::ProgramRun probe = RunProbe();
  EXPECT_EQ(probe.status, 0) << "probe ended by signal " << probe.signal << "\n" << probe.err;
  for (const std::string& u : emu_.unexpected) ADD_FAILURE() << "unexpected: " << u;

  // Only the scanner's node was ever opened for requests.
  for (const auto& [node, count] : emu_.ioctls) EXPECT_EQ(node, kScannerNode) << count << " ioctls";
  EXPECT_GT(emu_.ioctls[kScannerNode], 0);

  std::vector<std::string> expected = {"echo:hello", "image:1000", "silence", "trickle:300", "gone"};
  expected.push_back("echo:scanner");
  // The scanner object's destructor: CLEAR_FEATURE(ENDPOINT_HALT) for 0x8B then 0x02, each
  // followed by the host-side clear.
  std::vector<std::vector<UInt8>> setups = {{0x02, 0x01, 0, 0, 0x8B, 0, 0, 0}, {0x02, 0x01, 0, 0, 0x02, 0, 0, 0}};
  EXPECT_EQ(emu_.setups, setups);
  EXPECT_EQ(emu_.clearedHalts, (std::vector<unsigned>{0x8B, 0x8B, 0x02}));
  EXPECT_EQ(emu_.commands, expected);
}

}  // namespace
