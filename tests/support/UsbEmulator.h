// The usbfs side of an emulated bus for libusb (umockdev): the requests libusb makes on the device
// nodes are answered as the scanner would, and what reached the devices is kept for the tests.
//
// Bulk OUT data on endpoint 0x02 is taken as a command for the emulation: "echo:TEXT" makes the
// next read of 0x8B return TEXT; "image:N" makes the next read of 0x88 return N bytes; "trickle:N"
// makes it deliver N bytes when cancelled; "silence" leaves it pending; "gone" fails the next
// transfer with ENODEV. Reads with nothing to send stay pending until libusb cancels them.
#pragma once

#include <umockdev.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "platform/system/Types.h"

namespace tarvell::testing {

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
  bool heldElsewhere = false;              // another program has the interface: claims fail with EBUSY
  std::vector<std::vector<UInt8>> setups;  // control requests received (setup packets)
  std::vector<unsigned> clearedHalts;
  std::vector<std::string> commands;
  std::deque<Flying> done;     // finished, waiting to be reaped
  std::vector<Flying> flying;  // never answered until cancelled
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

// The "handle-ioctl" handler; `data` is the Emulator.
gboolean HandleIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer data);

}  // namespace tarvell::testing
