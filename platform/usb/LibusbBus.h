// The libusb-1.0 backend: real devices. It offers only the scanner (vendor 0x2B7E, product
// 0x0C5A): "IOUSBDevice" services for each attached scanner and "IOUSBInterface" services for the
// scanner's own interfaces, at the matching dictionary's location when one is given. No other
// device on the system is ever opened or claimed.
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
