// The libusb-1.0 backend: real devices. It offers what the matching dictionary names: "IOUSBDevice"
// services for each attached device of its identity (every device when it names none), and
// "IOUSBInterface" services only for a named device's own interfaces (those with the bulk OUT
// endpoint asked for, when any has it), at the dictionary's location when one is given. So no
// device but the one a search names is ever opened or claimed.
#pragma once

#include <memory>

#include "platform/usb/USB.h"

namespace tarvell {
namespace usb {

// A bus over libusb. Each master port is one libusb context (libusb_init); it fails when libusb
// cannot start.
std::shared_ptr<Bus> MakeLibusbBus();

// The one place where libusb's error codes become I/O statuses.
IOReturn StatusFromLibusb(int libusbError);

}  // namespace usb
}  // namespace tarvell
