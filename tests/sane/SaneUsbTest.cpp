// scanimage and the backend over libusb, with the USB bus emulated: a scanner another program
// holds (the kernel refuses the claim with EBUSY), and one the user may not open (EACCES). Both
// are listed (listing opens nothing); opening them says why it cannot be done.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/Program.h"
#include "tests/support/UsbEmulator.h"
#include "tests/support/UsbTestbed.h"

namespace {

using namespace tarvell::testing;

// A scanner that cannot be had says why: busy when another program holds it; access denied, with
// the backend's reason on its debug output, when the system refuses the user its device.
TEST(SaneUsb, AScannerThatCannotBeOpenedSaysWhy) {
  struct Case {
    bool heldElsewhere, denied;
    std::vector<std::string> said;
  };
  for (const Case& c :
       {Case{true, false, {"open of device tarvell:usb:0x01400000 failed: Device busy"}},
        Case{false,
             true,
             {"open of device tarvell:usb:0x01400000 failed: Access to resource has been denied",
              "[tarvell] the scanner at location 0x01400000 is on the bus, but the system does not let this user"}}}) {
    UMockdevTestbed* testbed = umockdev_testbed_new();
    UMockdevIoctlBase* handler = UMOCKDEV_IOCTL_BASE(g_object_new(UMOCKDEV_TYPE_IOCTL_BASE, nullptr));
    Emulator emu;
    emu.heldElsewhere = c.heldElsewhere;
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(HandleIoctl), &emu);
    ASSERT_TRUE(
        AddUsbDevice(testbed, "usb1/1-4", 3,
                     Descriptors(0x2B7E, 0x0C5A, 0, {{0xFF, {{0x02, 2, 512}, {0x8B, 2, 512}, {0x88, 2, 512}}}})));
    ASSERT_TRUE(umockdev_testbed_attach_ioctl(testbed, kScannerNode, handler, nullptr));

    TempDir dir("tarvell-sane-usb");
    dir.Write("dll.conf", "tarvell\n");
    dir.Write("tarvell.conf", "usb 0x01400000\n");
    ProgramOptions options = EmulatedRun();
    // scanimage lacks the sanitizer runtime a sanitized backend needs; its own leaks are not ours.
    const std::string preload = TARVELL_SANE_PRELOAD;
    if (!preload.empty()) options.env[0] = "LD_PRELOAD=" + preload + ":libumockdev-preload.so.0";
    options.env.insert(options.env.end(), {"SANE_CONFIG_DIR=" + dir.path(), "SANE_DEBUG_TARVELL=1",
                                           "LD_LIBRARY_PATH=" TARVELL_SANE_BACKEND_DIR});
    AddAsanOption(options.env, "detect_leaks=0");
    auto run = [&](std::vector<std::string> words) {
      return RunProgram(c.denied ? AsDeniedUser(testbed, kScannerNode, words) : words, options);
    };
    ProgramRun list = run({TARVELL_SCANIMAGE, "-L"});
    EXPECT_NE(list.out.find("`tarvell:usb:0x01400000' is a Tarvell K310 (USB)"), std::string::npos) << list.err;
    ProgramRun scan = run({TARVELL_SCANIMAGE, "-d", "tarvell:usb:0x01400000", "-o", dir / "scan.pnm"});
    EXPECT_NE(scan.status, 0);
    for (const std::string& text : c.said) EXPECT_NE(scan.err.find(text), std::string::npos) << scan.err;
    g_object_unref(handler);
    g_object_unref(testbed);
  }
}

}  // namespace
