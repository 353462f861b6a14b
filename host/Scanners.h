// The scanners on the active bus as a host sees them before (or instead of) opening one: found by
// their identity and location, whether another program holds one, whether the system lets this
// user have one, and what a person is told when it does not.
#pragma once

#include <string>
#include <vector>

#include "platform/system/Types.h"

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

}  // namespace tarvell::host
