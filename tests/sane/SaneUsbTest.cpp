// scanimage and the backend over libusb, with the USB bus emulated, while another program holds
// the scanner's interface: the kernel refuses the claim with EBUSY.
#include <gtest/gtest.h>

#include <errno.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <string>

#include "tests/support/Program.h"
#include "tests/support/UsbTestbed.h"

namespace {

using namespace tarvell::testing;

// The scanner's usbfs side: it opens, and every claim of its interface is refused.
gboolean HeldElsewhere(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer) {
  const gulong request = umockdev_ioctl_client_get_request(client);
  const bool claim = request == USBDEVFS_CLAIMINTERFACE || request == USBDEVFS_DISCONNECT_CLAIM;
  umockdev_ioctl_client_complete(client, -1, claim ? EBUSY : ENOTTY);
  return TRUE;
}

TEST(SaneUsb, AScannerAnotherProgramHoldsIsBusy) {
  UMockdevTestbed* testbed = umockdev_testbed_new();
  UMockdevIoctlBase* handler = UMOCKDEV_IOCTL_BASE(g_object_new(UMOCKDEV_TYPE_IOCTL_BASE, nullptr));
  g_signal_connect(handler, "handle-ioctl", G_CALLBACK(HeldElsewhere), nullptr);
  ASSERT_TRUE(AddUsbDevice(testbed, "usb1/1-4", 3,
                           Descriptors(0x2B7E, 0x0C5A, 0, {{0xFF, {{0x02, 2, 512}, {0x8B, 2, 512}, {0x88, 2, 512}}}})));
  ASSERT_TRUE(umockdev_testbed_attach_ioctl(testbed, "/dev/bus/usb/001/003", handler, nullptr));

  TempDir dir("tarvell-sane-usb");
  dir.Write("dll.conf", "tarvell\n");
  dir.Write("tarvell.conf", "usb 0x01400000\n");
  ProgramOptions options;
  const std::string preload = TARVELL_SANE_PRELOAD;
  options.env = {"SANE_CONFIG_DIR=" + dir.path(), "LD_LIBRARY_PATH=" TARVELL_SANE_BACKEND_DIR,
                 "LD_PRELOAD=" + (preload.empty() ? "" : preload + ":") + "libumockdev-preload.so.0"};
  AddAsanOption(options.env, "verify_asan_link_order=0:detect_leaks=0");
  options.whileRunning = [] {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
  };
  ProgramRun run = RunProgram({TARVELL_SCANIMAGE, "-d", "tarvell:usb:0x01400000", "-o", dir / "scan.pnm"}, options);
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.err.find("open of device tarvell:usb:0x01400000 failed: Device busy"), std::string::npos) << run.err;
  g_object_unref(handler);
  g_object_unref(testbed);
}

}  // namespace
