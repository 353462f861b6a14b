// Building blocks for tests that emulate a USB bus for libusb with umockdev: descriptor bytes and
// the testbed record of one device.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/system/Types.h"
#include "tests/support/Program.h"
#include "tests/support/UsbEmulator.h"

namespace tarvell::testing {

// Where the tests plug the scanner: bus 1, device 3.
constexpr const char kScannerNode[] = "/dev/bus/usb/001/003";

struct Endpoint {
  UInt8 address;
  UInt8 attributes;  // 2 bulk, 3 interrupt
  UInt16 maxPacket;
};
struct Interface {
  UInt8 cls;
  std::vector<Endpoint> endpoints;
};

// Device and configuration descriptors, as the testbed's "descriptors" attribute holds them.
inline std::vector<UInt8> Descriptors(UInt16 vendor, UInt16 product, UInt8 deviceClass,
                                      const std::vector<Interface>& interfaces) {
  std::vector<UInt8> d = {18,
                          1,
                          0x00,
                          0x02,
                          deviceClass,
                          0,
                          0,
                          64,
                          UInt8(vendor),
                          UInt8(vendor >> 8),
                          UInt8(product),
                          UInt8(product >> 8),
                          0x00,
                          0x01,
                          0,
                          0,
                          0,
                          1};
  std::vector<UInt8> c = {9, 2, 0, 0, UInt8(interfaces.size()), 1, 0, 0xC0, 50};
  for (size_t i = 0; i < interfaces.size(); ++i) {
    const Interface& itf = interfaces[i];
    c.insert(c.end(), {9, 4, UInt8(i), 0, UInt8(itf.endpoints.size()), itf.cls, 0, 0, 0});
    for (const Endpoint& e : itf.endpoints)
      c.insert(c.end(), {7, 5, e.address, e.attributes, UInt8(e.maxPacket), UInt8(e.maxPacket >> 8),
                         UInt8(e.attributes == 3 ? 10 : 0)});
  }
  c[2] = UInt8(c.size());
  c[3] = UInt8(c.size() >> 8);
  d.insert(d.end(), c.begin(), c.end());
  return d;
}

// Adds a USB device at sysfs path /devices/`path` with device node /dev/bus/usb/001/`devnum`.
inline ::testing::AssertionResult AddUsbDevice(UMockdevTestbed* testbed, const char* path, int devnum,
                                               const std::vector<UInt8>& descriptors) {
  char head[320];
  std::snprintf(head, sizeof head,
                "P: /devices/%s\nN: bus/usb/001/%03d\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
                "E: DEVNAME=/dev/bus/usb/001/%03d\nE: BUSNUM=001\nE: DEVNUM=%03d\n"
                "A: busnum=1\\n\nA: devnum=%d\\n\nA: speed=480\\n\nA: bConfigurationValue=1\\n\n",
                path, devnum, devnum, devnum, devnum);
  std::string record = std::string(head) + "H: descriptors=";
  for (UInt8 b : descriptors) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", b);
    record += hex;
  }
  record += "\n";
  GError* error = nullptr;
  if (umockdev_testbed_add_from_string(testbed, record.c_str(), &error)) return ::testing::AssertionSuccess();
  ::testing::AssertionResult failure = ::testing::AssertionFailure() << path << ": " << (error ? error->message : "?");
  if (error) g_error_free(error);
  return failure;
}

// How a program runs against the emulated bus: the emulation preloaded (a sanitized program then
// cannot have its runtime first in line), and this process serving its requests meanwhile.
inline ProgramOptions EmulatedRun() {
  ProgramOptions options;
  options.env = {"LD_PRELOAD=libumockdev-preload.so.0"};
  AddAsanOption(options.env, "verify_asan_link_order=0");
  options.timeoutSeconds = 60;
  options.whileRunning = [] {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
  };
  return options;
}

// The words that run a program as a user the system refuses the testbed's device `node` (e.g.
// "/dev/bus/usb/001/003"), as it refuses a scanner without the udev rule: the node loses every
// permission bit, and when the test runs as root the program runs without the capabilities that
// let root open any file, so its open fails with EACCES as a user's does. Everything else (the
// rest of the testbed, the build folder) stays as readable as it was.
inline std::vector<std::string> AsDeniedUser(UMockdevTestbed* testbed, const std::string& node,
                                             std::vector<std::string> words) {
  gchar* root = umockdev_testbed_get_root_dir(testbed);
  EXPECT_EQ(chmod((std::string(root) + node).c_str(), 0), 0) << node;
  g_free(root);
  if (geteuid() == 0) words.insert(words.begin(), {"setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"});
  return words;
}

// A test on an emulated bus: the testbed, and one handler that answers every device's requests as
// `emu_` holds them.
class EmulatedBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testbed_ = umockdev_testbed_new();
    ASSERT_TRUE(testbed_);
    handler_ = UMOCKDEV_IOCTL_BASE(g_object_new(UMOCKDEV_TYPE_IOCTL_BASE, nullptr));
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(HandleIoctl), &emu_);
  }
  void TearDown() override {
    if (handler_) g_object_unref(handler_);
    if (testbed_) g_object_unref(testbed_);
  }
  // Plugs a device at /devices/`path` whose node /dev/bus/usb/001/`devnum` the handler serves.
  void Add(const char* path, int devnum, const std::vector<UInt8>& descriptors) {
    ASSERT_TRUE(AddUsbDevice(testbed_, path, devnum, descriptors));
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", devnum);
    GError* error = nullptr;
    ASSERT_TRUE(umockdev_testbed_attach_ioctl(testbed_, node, handler_, &error)) << (error ? error->message : node);
  }

  UMockdevTestbed* testbed_ = nullptr;
  UMockdevIoctlBase* handler_ = nullptr;
  Emulator emu_;
};

}  // namespace tarvell::testing
