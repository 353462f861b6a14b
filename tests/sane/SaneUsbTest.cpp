// scanimage and the backend over libusb, with the USB bus emulated: a scanner another program
// holds (the kernel refuses the claim with EBUSY), and one the user may not open (EACCES).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/support/Program.h"
#include "tests/support/UsbEmulator.h"
#include "tests/support/UsbTestbed.h"

namespace {

using namespace tarvell::testing;

constexpr const char kScannerNode[] = "/dev/bus/usb/001/003";

class SaneUsb : public ::testing::Test {
 protected:
  void SetUp() override {
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(HandleIoctl), &emu_);
    dir_.Write("dll.conf", "tarvell\n");
    dir_.Write("tarvell.conf", "usb 0x01400000\n");
    chmod(dir_.path().c_str(), 0755);  // read by the backend as whichever user runs it
  }
  void TearDown() override {
    g_object_unref(handler_);
    g_object_unref(testbed_);
  }
  // `served`: this side answers the scanner's requests (one nobody may open needs none).
  void AddScanner(bool served) {
    ASSERT_TRUE(
        AddUsbDevice(testbed_, "usb1/1-4", 3,
                     Descriptors(0x2B7E, 0x0C5A, 0, {{0xFF, {{0x02, 2, 512}, {0x8B, 2, 512}, {0x88, 2, 512}}}})));
    if (served) {
      ASSERT_TRUE(umockdev_testbed_attach_ioctl(testbed_, kScannerNode, handler_, nullptr));
    }
  }
  // `denied`: run as a user the system refuses the scanner's device node.
  ProgramRun Scanimage(std::vector<std::string> words, bool denied = false) {
    words.insert(words.begin(), TARVELL_SCANIMAGE);
    if (denied) words = AsDeniedUser(testbed_, kScannerNode, words);
    ProgramOptions options = EmulatedRun();
    // scanimage lacks the sanitizer runtime a sanitized backend needs; its own leaks are not ours.
    const std::string preload = TARVELL_SANE_PRELOAD;
    if (!preload.empty()) options.env[0] = "LD_PRELOAD=" + preload + ":libumockdev-preload.so.0";
    options.env.insert(options.env.end(), {"SANE_CONFIG_DIR=" + dir_.path(), "SANE_DEBUG_TARVELL=1",
                                           "LD_LIBRARY_PATH=" TARVELL_SANE_BACKEND_DIR});
    AddAsanOption(options.env, "detect_leaks=0");
    return RunProgram(words, options);
  }

  UMockdevTestbed* testbed_ = umockdev_testbed_new();
  UMockdevIoctlBase* handler_ = UMOCKDEV_IOCTL_BASE(g_object_new(UMOCKDEV_TYPE_IOCTL_BASE, nullptr));
  Emulator emu_;
  TempDir dir_{"tarvell-sane-usb"};
};

TEST_F(SaneUsb, AScannerAnotherProgramHoldsIsBusy) {
  emu_.heldElsewhere = true;
  AddScanner(true);
  ProgramRun run = Scanimage({"-d", "tarvell:usb:0x01400000", "-o", dir_ / "scan.pnm"});
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.err.find("open of device tarvell:usb:0x01400000 failed: Device busy"), std::string::npos) << run.err;
}

// The frontend hears "access denied"; the debug output says why and how to fix it, in the words
// scanner-module uses.
TEST_F(SaneUsb, AScannerTheUserMayNotOpenIsAccessDenied) {
  AddScanner(false);
  ProgramRun run = Scanimage({"-d", "tarvell:usb:0x01400000"}, true);
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.err.find("open of device tarvell:usb:0x01400000 failed: Access to resource has been denied"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("[tarvell] the scanner at location 0x01400000 is on the bus, but the system does not let "
                         "this user open it (access denied)."),
            std::string::npos)
      << run.err;
}

}  // namespace
