// scanimage and the backend over libusb, with the USB bus emulated, while another program holds
// the scanner's interface: the kernel refuses the claim with EBUSY. The scanner is listed, but
// opening it is refused as busy.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/Program.h"
#include "tests/support/UsbEmulator.h"
#include "tests/support/UsbTestbed.h"

namespace {

using namespace tarvell::testing;

TEST(SaneUsb, AScannerAnotherProgramHoldsIsListedAndBusy) {
  UMockdevTestbed* testbed = umockdev_testbed_new();
  UMockdevIoctlBase* handler = UMOCKDEV_IOCTL_BASE(g_object_new(UMOCKDEV_TYPE_IOCTL_BASE, nullptr));
  Emulator emu;
  emu.heldElsewhere = true;
  g_signal_connect(handler, "handle-ioctl", G_CALLBACK(HandleIoctl), &emu);
  ASSERT_TRUE(AddUsbDevice(testbed, "usb1/1-4", 3,
                           Descriptors(0x2B7E, 0x0C5A, 0, {{0xFF, {{0x02, 2, 512}, {0x8B, 2, 512}, {0x88, 2, 512}}}})));
  ASSERT_TRUE(umockdev_testbed_attach_ioctl(testbed, "/dev/bus/usb/001/003", handler, nullptr));

  TempDir dir("tarvell-sane-usb");
  dir.Write("dll.conf", "tarvell\n");
  dir.Write("tarvell.conf", "usb 0x01400000\n");
  ProgramOptions options = EmulatedRun();
  // scanimage lacks the sanitizer runtime a sanitized backend needs; its own leaks are not ours.
  const std::string preload = TARVELL_SANE_PRELOAD;
  if (!preload.empty()) options.env[0] = "LD_PRELOAD=" + preload + ":libumockdev-preload.so.0";
  options.env.insert(options.env.end(), {"SANE_CONFIG_DIR=" + dir.path(), "LD_LIBRARY_PATH=" TARVELL_SANE_BACKEND_DIR});
  AddAsanOption(options.env, "detect_leaks=0");
  // Listed all the same (listing opens nothing); only opening it is refused.
  ProgramRun list = RunProgram({TARVELL_SCANIMAGE, "-L"}, options);
  EXPECT_NE(list.out.find("`tarvell:usb:0x01400000' is a Tarvell K310 (USB)"), std::string::npos) << list.out << list.err;
  ProgramRun run = RunProgram({TARVELL_SCANIMAGE, "-d", "tarvell:usb:0x01400000", "-o", dir / "scan.pnm"}, options);
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.err.find("open of device tarvell:usb:0x01400000 failed: Device busy"), std::string::npos) << run.err;
  g_object_unref(handler);
  g_object_unref(testbed);
}

}  // namespace
