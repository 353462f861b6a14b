// The scanners on the active bus as a host sees them before (or instead of) opening one: found by
// their identity and location, whether another program holds one, whether the system lets this
// user have one, and what a person is told when it does not; and what an open one offers.
#pragma once

#include <string>
#include <vector>

#include "platform/ica/ICAHost.h"
#include "platform/system/Types.h"
#include "usb/DeviceFacts.h"

namespace tarvell::host {

// The locations of the scanners on the bus (all of them, or the one at `location` when it is not
// 0), read from their device descriptors: nothing is opened or claimed.
std::vector<UInt32> ScannersOnBus(UInt32 location);
// Whether another program holds the interface of the scanner at `location` (claiming it is refused
// as exclusive access).
bool HeldElsewhere(UInt32 location);
// The location of a scanner the system will not let this user open (its device opens with
// kIOReturnNotPermitted), at `location` or, with 0, anywhere; 0 when there is none. Hosts ask after
// an open failed, to tell a missing scanner from a forbidden one.
UInt32 ScannerDeniedAt(UInt32 location);
// What a person is told about such a scanner: what is wrong and how to give access.
std::string AccessDeniedText(UInt32 location);

// What an open scanner offers, as the driver reports it; the device's facts where it says nothing.
struct ScannerFacts {
  UInt32 bedWidth = tarvell::device::kGlassWidth;    // 1/600 inch
  UInt32 bedHeight = tarvell::device::kGlassHeight;  // 1/600 inch
  std::vector<UInt32> resolutions{tarvell::device::kResolutions.begin(), tarvell::device::kResolutions.end()};
};
// Reads the capabilities of an open device in a session of its own, as the command-line host reads
// them. On the driver thread.
ScannerFacts ReadScannerFacts(ScannerObjectInfo* device);

}  // namespace tarvell::host
