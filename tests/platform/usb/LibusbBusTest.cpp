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
  for (int e : {LIBUSB_ERROR_IO, LIBUSB_ERROR_INVALID_PARAM, LIBUSB_ERROR_ACCESS, LIBUSB_ERROR_NO_DEVICE,
                LIBUSB_ERROR_NOT_FOUND, LIBUSB_ERROR_BUSY, LIBUSB_ERROR_TIMEOUT, LIBUSB_ERROR_OVERFLOW,
                LIBUSB_ERROR_PIPE, LIBUSB_ERROR_INTERRUPTED, LIBUSB_ERROR_NO_MEM,
                LIBUSB_ERROR_NOT_SUPPORTED, LIBUSB_ERROR_OTHER}) {
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

constexpr const char kScannerNode[] = "/dev/bus/usb/001/003";

using tarvell::testing::Descriptors;
using tarvell::testing::Interface;

// The scanner's usbfs side: answers the requests libusb makes on the device node.
struct Emulator {
  struct Flying {
    UMockdevIoctlData* urb;
    UMockdevIoctlData* buffer;
    int trickle;  // bytes to deliver when it is cancelled
  };
  std::map<std::string, int> ioctls;  // per device node
  std::string reply;                  // next answer on endpoint 0x8B
  std::string imageMode;              // what the next read of endpoint 0x88 gets
  bool gone = false;
  std::vector<std::vector<UInt8>> setups;  // control requests received (setup packets)
  std::vector<unsigned> clearedHalts;
  std::vector<std::string> commands;
  std::deque<Flying> done;                 // finished, waiting to be reaped
  std::vector<Flying> flying;              // never answered until cancelled
  std::vector<std::string> unexpected;

  ~Emulator() {
    for (Flying& f : flying) Release(f);
    for (Flying& f : done) Release(f);
  }
  static void Release(Flying& f) {
    if (f.buffer) g_object_unref(f.buffer);
    g_object_unref(f.urb);
  }
};

usbdevfs_urb* Urb(UMockdevIoctlData* d) { return reinterpret_cast<usbdevfs_urb*>(d->data); }

void SubmitUrb(Emulator& emu, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  GError* error = nullptr;
  UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
  if (!urbData) {
    emu.unexpected.push_back(std::string("resolve urb: ") + error->message);
    g_error_free(error);
    umockdev_ioctl_client_complete(client, -1, EINVAL);
    return;
  }
  usbdevfs_urb* urb = Urb(urbData);
  UMockdevIoctlData* buffer = nullptr;
  if (urb->buffer_length > 0) {
    buffer = umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer), urb->buffer_length, &error);
    if (!buffer) {
      emu.unexpected.push_back(std::string("resolve buffer: ") + error->message);
      g_error_free(error);
      g_object_unref(urbData);
      umockdev_ioctl_client_complete(client, -1, EINVAL);
      return;
    }
  }
  if (emu.gone) {
    emu.gone = false;
    Emulator::Flying f{urbData, buffer, 0};
    Emulator::Release(f);
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return;
  }
  Emulator::Flying f{urbData, buffer, 0};
  urb->status = 0;
  urb->actual_length = 0;
  if (urb->type == USBDEVFS_URB_TYPE_CONTROL && buffer && buffer->data_len >= 8) {
    emu.setups.emplace_back(buffer->data, buffer->data + 8);
    emu.done.push_back(f);
  } else if (urb->endpoint == 0x02) {
    std::string cmd(reinterpret_cast<char*>(buffer->data), size_t(urb->buffer_length));
    emu.commands.push_back(cmd);
    if (cmd.rfind("echo:", 0) == 0) emu.reply = cmd.substr(5);
    if (cmd.rfind("image:", 0) == 0 || cmd == "silence" || cmd.rfind("trickle:", 0) == 0)
      emu.imageMode = cmd;
    if (cmd == "gone") emu.gone = true;
    urb->actual_length = urb->buffer_length;
    emu.done.push_back(f);
  } else if (urb->endpoint == 0x8B) {
    size_t n = std::min(emu.reply.size(), size_t(urb->buffer_length));
    std::memcpy(buffer->data, emu.reply.data(), n);
    urb->actual_length = int(n);
    emu.done.push_back(f);
  } else if (urb->endpoint == 0x88 && emu.imageMode.rfind("image:", 0) == 0) {
    int n = std::min(std::stoi(emu.imageMode.substr(6)), urb->buffer_length);
    for (int i = 0; i < n; ++i) buffer->data[i] = UInt8(i * 7);
    urb->actual_length = n;
    emu.imageMode.clear();
    emu.done.push_back(f);
  } else {
    // Nothing to send: the transfer stays pending until the host gives up on it.
    if (emu.imageMode.rfind("trickle:", 0) == 0) f.trickle = std::stoi(emu.imageMode.substr(8));
    emu.imageMode.clear();
    emu.flying.push_back(f);
  }
  umockdev_ioctl_client_complete(client, 0, 0);
}

void DiscardUrb(Emulator& emu, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  gulong address = 0;
  std::memcpy(&address, arg->data, std::min(sizeof address, size_t(arg->data_len)));
  for (auto it = emu.flying.begin(); it != emu.flying.end(); ++it) {
    if (it->urb->client_addr != address) continue;
    Emulator::Flying f = *it;
    emu.flying.erase(it);
    usbdevfs_urb* urb = Urb(f.urb);
    int n = std::min(f.trickle, urb->buffer_length);
    for (int i = 0; i < n; ++i) f.buffer->data[i] = UInt8(i);
    urb->actual_length = n;
    urb->status = -ENOENT;
    emu.done.push_back(f);
    umockdev_ioctl_client_complete(client, 0, 0);
    return;
  }
  umockdev_ioctl_client_complete(client, -1, EINVAL);
}

void ReapUrb(Emulator& emu, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  if (emu.done.empty()) {
    umockdev_ioctl_client_complete(client, -1, EAGAIN);
    return;
  }
  Emulator::Flying f = emu.done.front();
  emu.done.pop_front();
  GError* error = nullptr;
  UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), &error);
  if (!pointer || !umockdev_ioctl_data_set_ptr(pointer, 0, f.urb)) {
    emu.unexpected.push_back(std::string("reap: ") + (error ? error->message : "?"));
    if (error) g_error_free(error);
    umockdev_ioctl_client_complete(client, -1, EINVAL);
  } else {
    umockdev_ioctl_client_complete(client, 0, 0);
  }
  if (pointer) g_object_unref(pointer);
  Emulator::Release(f);
}

// Reads the 32-bit value an ioctl argument points to.
bool ReadU32(UMockdevIoctlData* arg, unsigned* out) {
  UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
  if (!d) return false;
  std::memcpy(out, d->data, sizeof *out);
  g_object_unref(d);
  return true;
}

gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
  Emulator& emu = *static_cast<Emulator*>(data);
  const std::string node = umockdev_ioctl_client_get_devnode(client);
  ++emu.ioctls[node];
  const gulong request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(UInt32), nullptr);
      if (!caps) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        break;
      }
      UInt32 value = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                     USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
      std::memcpy(caps->data, &value, sizeof value);
      umockdev_ioctl_client_complete(client, 0, 0);
      g_object_unref(caps);
      break;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_RESET:
      umockdev_ioctl_client_complete(client, 0, 0);
      break;
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
      umockdev_ioctl_client_complete(client, -1, ENODATA);  // no kernel driver bound
      break;
    case USBDEVFS_CLEAR_HALT: {
      unsigned endpoint = 0;
      if (ReadU32(arg, &endpoint)) emu.clearedHalts.push_back(endpoint);
      umockdev_ioctl_client_complete(client, 0, 0);
      break;
    }
    case USBDEVFS_SUBMITURB:
      SubmitUrb(emu, client, arg);
      break;
    case USBDEVFS_DISCARDURB:
      DiscardUrb(emu, client, arg);
      break;
    case USBDEVFS_REAPURBNDELAY:
      ReapUrb(emu, client, arg);
      break;
    default: {
      char text[64];
      std::snprintf(text, sizeof text, "ioctl 0x%lx on %s", request, node.c_str());
      emu.unexpected.push_back(text);
      umockdev_ioctl_client_complete(client, -1, ENOTTY);
      break;
    }
  }
  return TRUE;
}

class LibusbBackend : public ::testing::Test {
 protected:
  void SetUp() override {
    testbed_ = umockdev_testbed_new();
    ASSERT_TRUE(testbed_);
    handler_ = UMOCKDEV_IOCTL_BASE(g_object_new(UMOCKDEV_TYPE_IOCTL_BASE, nullptr));
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(HandleIoctl), &emu_);

    const Interface hubPort{9, {{0x81, 3, 2}}};
    Add("usb1", 1, Descriptors(0x1D6B, 0x0002, 9, {hubPort}));
    Add("usb1/1-4", 2, Descriptors(0x05E3, 0x0610, 9, {hubPort}));
    Add("usb1/1-4/1-4.1", 3,
        Descriptors(0x2B7E, 0x0C5A, 0,
                    {{7, {{0x01, 2, 512}, {0x81, 2, 512}}},
                     {0xFF, {{0x02, 2, 512}, {0x8B, 2, 512}, {0x88, 2, 512}}}}));
    Add("usb1/1-2", 4, Descriptors(0x1234, 0x5678, 0, {{3, {{0x81, 3, 8}}}}));
    for (const char* node : {"/dev/bus/usb/001/001", "/dev/bus/usb/001/002", kScannerNode,
                             "/dev/bus/usb/001/004"}) {
      GError* error = nullptr;
      ASSERT_TRUE(umockdev_testbed_attach_ioctl(testbed_, node, handler_, &error))
          << (error ? error->message : node);
    }
  }
  void TearDown() override {
    if (handler_) g_object_unref(handler_);
    if (testbed_) g_object_unref(testbed_);
  }

  void Add(const char* path, int devnum, const std::vector<UInt8>& descriptors) {
    ASSERT_TRUE(tarvell::testing::AddUsbDevice(testbed_, path, devnum, descriptors));
  }

  // Runs the probe with the emulation preloaded, serving its ioctls until it exits.
  tarvell::testing::ProgramRun RunProbe() {
    tarvell::testing::ProgramOptions options = tarvell::testing::EmulatedRun();
    options.timeoutSeconds = 120;
    return tarvell::testing::RunProgram({TARVELL_LIBUSB_PROBE}, options);
  }

  UMockdevTestbed* testbed_ = nullptr;
  UMockdevIoctlBase* handler_ = nullptr;
  Emulator emu_;
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
  std::vector<std::vector<UInt8>> setups = {{0x02, 0x01, 0, 0, 0x8B, 0, 0, 0},
                                            {0x02, 0x01, 0, 0, 0x02, 0, 0, 0}};
  EXPECT_EQ(emu_.setups, setups);
  EXPECT_EQ(emu_.clearedHalts, (std::vector<unsigned>{0x8B, 0x8B, 0x02}));
  EXPECT_EQ(emu_.commands, expected);
}

}  // namespace
