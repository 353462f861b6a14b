// `scanner-module list` over the libusb backend, with the USB bus emulated: a hub, a keyboard
// and the scanner. The program runs with the emulation preloaded; this side answers its usbfs
// requests as the devices would.
#include <gtest/gtest.h>

#include <errno.h>
#include <linux/usbdevice_fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <umockdev.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "platform/system/Types.h"
#include "tests/support/Program.h"
#include "tests/support/UsbEmulator.h"
#include "tests/support/UsbTestbed.h"

namespace {

using tarvell::testing::Descriptors;
using tarvell::testing::EmulatedRun;
using tarvell::testing::kScannerNode;

class ListOverLibusb : public tarvell::testing::EmulatedBusTest {
 protected:
  void AddHubAndKeyboard() {
    Add("usb1", 1, Descriptors(0x1D6B, 0x0002, 9, {{9, {{0x81, 3, 2}}}}));
    Add("usb1/1-4", 2, Descriptors(0x05E3, 0x0610, 9, {{9, {{0x81, 3, 2}}}}));
    Add("usb1/1-2", 4, Descriptors(0x1234, 0x5678, 0, {{3, {{0x81, 3, 8}}}}));
  }
  void AddScanner() {
    Add("usb1/1-4/1-4.1", 3,
        Descriptors(0x2B7E, 0x0C5A, 0, {{0xFF, {{0x02, 2, 512}, {0x8B, 2, 512}, {0x88, 2, 512}}}}));
  }

  using Outcome = tarvell::testing::ProgramRun;

  // Runs the program with the emulation preloaded, serving its requests until it exits.
  Outcome RunProgram(std::vector<std::string> words) {
    words.insert(words.begin(), TARVELL_SCANNER_MODULE);
    return tarvell::testing::RunProgram(words, EmulatedRun());
  }
};

TEST_F(ListOverLibusb, TheScannerIsFoundOnRealUSB) {
  AddHubAndKeyboard();
  AddScanner();
  Outcome run = RunProgram({"list"});
  EXPECT_EQ(run.status, 0) << run.err;
  // Bus 1, ports 4.1.
  EXPECT_EQ(run.out, "location 0x01410000: Tarvell K310 (USB)\n");
  for (const std::string& u : emu_.unexpected) ADD_FAILURE() << "unexpected: " << u;
  // Only the scanner was ever asked anything.
  for (const auto& [node, count] : emu_.ioctls) EXPECT_EQ(node, kScannerNode) << count;
}

TEST_F(ListOverLibusb, ACaptureOverLibusbNamesTheBusAndDeviceNumber) {
  AddHubAndKeyboard();
  AddScanner();
  tarvell::testing::TempDir dir;
  Outcome run = RunProgram({"list", "--capture", dir / "list.pcap"});
  EXPECT_EQ(run.status, 0) << run.err;
  // The address libusb reports, as usbmon shows it: GET_DESCRIPTOR on opening, then the
  // closing CLEAR_FEATUREs.
  const auto fields = tarvell::testing::RunProgram({"tshark", "-r", dir / "list.pcap", "-T", "fields", "-e",
                                                    "usb.bus_id", "-e", "usb.device_address", "-e", "usb.urb_type",
                                                    "-e", "usb.setup.bRequest", "-Y", "usb.urb_type == 'S'"});
  std::string expected = "1\t3\t'S'\t6\n";
  for (int i = 0; i < 4; ++i) expected += "1\t3\t'S'\t1\n";
  EXPECT_EQ(fields.out, expected) << fields.err;
}

// Without the udev rule the scanner is there but its device node is not this user's: every
// command says so and names the fix, whether it searched the bus or was given the location.
TEST_F(ListOverLibusb, AScannerTheUserMayNotOpenIsExplained) {
  AddHubAndKeyboard();
  AddScanner();
  for (std::vector<std::string> words : {std::vector<std::string>{"list"}, {"scan", "--device", "0x01410000"}}) {
    words.insert(words.begin(), TARVELL_SCANNER_MODULE);
    Outcome run =
        tarvell::testing::RunProgram(tarvell::testing::AsDeniedUser(testbed_, kScannerNode, words), EmulatedRun());
    EXPECT_EQ(run.status, 1) << words[1];
    EXPECT_EQ(run.err,
              "scanner-module: the scanner at location 0x01410000 is on the bus, but the system does not let "
              "this user open it (access denied). Install the udev rule 55-tarvell-k310.rules (package "
              "tarvell-scanner), unplug the scanner and plug it in again, and log in again; a service such as "
              "saned needs its user in the scanner group.\n")
        << words[1];
  }
}

TEST_F(ListOverLibusb, WithoutAScannerNoneIsFound) {
  AddHubAndKeyboard();
  Outcome run = RunProgram({"list"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "scanner-module: no scanner found\n");
  EXPECT_TRUE(emu_.ioctls.empty());
}

}  // namespace
