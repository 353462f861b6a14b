// What a host learns about scanners without scanning: where they are on the active bus (found by
// their identity, nothing opened or claimed) and what an open one offers (glass, resolutions).
// Both run on the host's driver thread, like every driver and bus call.
#pragma once

#include <vector>

#include "platform/ica/ICAHost.h"
#include "platform/system/Types.h"
#include "usb/DeviceFacts.h"

namespace tarvell::host {

// The locations of the scanners on the active bus: all of them, or the one at `location` when
// it is not 0. Empty when the bus cannot be searched.
std::vector<UInt32> ScannersOnBus(UInt32 location = 0);

// What an open scanner offers, as the driver reports it; the device's facts where it says
// nothing.
struct ScannerFacts {
  UInt32 bedWidth = tarvell::device::kGlassWidth;    // 1/600 inch
  UInt32 bedHeight = tarvell::device::kGlassHeight;  // 1/600 inch
  std::vector<UInt32> resolutions{tarvell::device::kResolutions.begin(), tarvell::device::kResolutions.end()};
};

// Reads the capabilities of an open device in a session of its own, as the command-line host
// reads them.
ScannerFacts ReadScannerFacts(ScannerObjectInfo* device);

}  // namespace tarvell::host
