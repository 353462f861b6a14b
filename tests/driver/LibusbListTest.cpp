// `scanner-module list` over the libusb backend, with the USB bus emulated: a hub, a keyboard
// and the scanner. The program runs with the emulation preloaded; this side answers its usbfs
// requests as the devices would.
#include <gtest/gtest.h>

#include <errno.h>
#include <linux/usbdevice_fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <sys/wait.h>
#include <umockdev.h>

#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "platform/system/Types.h"
#include "tests/support/Program.h"
#include "tests/support/UsbTestbed.h"

namespace {

constexpr const char kScannerNode[] = "/dev/bus/usb/001/003";

using tarvell::testing::Descriptors;
using tarvell::testing::EmulatedRun;

// The devices' usbfs side: claims and halts are accepted, control requests complete at once.
struct Emulator {
  std::map<std::string, int> ioctls;
  std::deque<UMockdevIoctlData*> done;
  std::vector<std::string> unexpected;
  ~Emulator() {
    for (UMockdevIoctlData* urb : done) g_object_unref(urb);
  }
};

gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
  Emulator& emu = *static_cast<Emulator*>(data);
  ++emu.ioctls[umockdev_ioctl_client_get_devnode(client)];
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  switch (umockdev_ioctl_client_get_request(client)) {
    case USBDEVFS_GET_CAPABILITIES: {
      UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(UInt32), nullptr);
      if (!caps) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        break;
      }
      UInt32 value = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                     USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
      std::memcpy(caps->data, &value, sizeof value);
      g_object_unref(caps);
      umockdev_ioctl_client_complete(client, 0, 0);
      break;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_RESET:
    case USBDEVFS_CLEAR_HALT:
      umockdev_ioctl_client_complete(client, 0, 0);
      break;
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
      umockdev_ioctl_client_complete(client, -1, ENODATA);  // no kernel driver bound
      break;
    case USBDEVFS_SUBMITURB: {
      UMockdevIoctlData* urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
      if (!urb) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        break;
      }
      auto* u = reinterpret_cast<usbdevfs_urb*>(urb->data);
      u->status = 0;
      u->actual_length = u->type == USBDEVFS_URB_TYPE_CONTROL ? 0 : u->buffer_length;
      emu.done.push_back(urb);
      umockdev_ioctl_client_complete(client, 0, 0);
      break;
    }
    case USBDEVFS_REAPURBNDELAY: {
      if (emu.done.empty()) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        break;
      }
      UMockdevIoctlData* urb = emu.done.front();
      emu.done.pop_front();
      UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), nullptr);
      if (pointer && umockdev_ioctl_data_set_ptr(pointer, 0, urb))
        umockdev_ioctl_client_complete(client, 0, 0);
      else
        umockdev_ioctl_client_complete(client, -1, EINVAL);
      if (pointer) g_object_unref(pointer);
      g_object_unref(urb);
      break;
    }
    default:
      emu.unexpected.push_back("ioctl " + std::to_string(umockdev_ioctl_client_get_request(client)));
      umockdev_ioctl_client_complete(client, -1, ENOTTY);
  }
  return TRUE;
}

class LibusbListTest : public ::testing::Test {
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

  void Add(const char* path, int devnum, const std::vector<UInt8>& descriptors) {
    ASSERT_TRUE(tarvell::testing::AddUsbDevice(testbed_, path, devnum, descriptors));
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", devnum);
    GError* error = nullptr;
    ASSERT_TRUE(umockdev_testbed_attach_ioctl(testbed_, node, handler_, &error))
        << (error ? error->message : node);
  }

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

  UMockdevTestbed* testbed_ = nullptr;
  UMockdevIoctlBase* handler_ = nullptr;
  Emulator emu_;
};

TEST_F(LibusbListTest, TheScannerIsFoundOnRealUSB) {
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

TEST_F(LibusbListTest, WithoutAScannerNoneIsFound) {
  AddHubAndKeyboard();
  Outcome run = RunProgram({"list"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "scanner-module: no scanner found\n");
  EXPECT_TRUE(emu_.ioctls.empty());
}

}  // namespace
