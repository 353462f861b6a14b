// The scanners on the active bus as a host sees them before (or instead of) opening one: found by
// their identity and location, whether another program holds one, whether the system lets this
// user have one, and what a person is told when it does not; and what an open one offers.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "host/PageStream.h"
#include "host/ScanRules.h"
#include "platform/ica/ICAHost.h"
#include "platform/plist/PropertyList.h"
#include "platform/system/Types.h"

namespace tarvell::host {

// How long a door waits for one call on the driver thread that opens, reads or closes a scanner:
// it may come after the tail of a job still finishing (two calls) and make a session of its own,
// each transfer ending within its completion time-out. Past it the device has stopped answering.
constexpr std::chrono::milliseconds kDeviceCallBound = TransfersTime(8);

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

// What an open scanner offers: its scan space.
using ScannerFacts = ScanSpace;
// Reads the capabilities of an open device in a session of its own, as the command-line host reads
// them. On the driver thread.
ScannerFacts ReadScannerFacts(ScannerObjectInfo* device);
// The scan space of `device` (null: the device's facts) with the glass of `parameters`, the
// driver's get-parameters dictionary in either dialect; false when that gives no glass.
bool ScanSpaceOf(const ScannerObjectInfo* device, const plist::DictionaryRef& parameters, ScanSpace* space);

// Why a scanner could not be opened, one kind each door translates, and what a person is told.
struct OpenProblem {
  enum Kind {
    kNotThere,  // no scanner at the place asked for (the message names those there are)
    kBusy,      // another program, or this one, has it
    kDenied,    // the system does not let this user open it
    kGone,      // it left the bus while it was being opened
    kFailed,    // the driver could not open it
  } kind = kFailed;
  std::string message;
};
// What is wrong after the driver's open of the scanner at `location` (0: the first found) failed
// with `err`. On the driver thread.
OpenProblem WhyOpenFailed(UInt32 location, ICAError err);
// Opens the scanner at `location` (0: the first on the bus) on a new record: true with *record and
// *at, else false with *problem. On the driver thread.
bool OpenScanner(UInt32 location, ScannerObjectInfo** record, UInt32* at, OpenProblem* problem);

// The driver's set-up for a host, undone when it goes: its callbacks registered (unless the host
// has them already), its timer set, and whether a page's data ends at the device's end-of-job
// packet (instead of the no-data time-out after the last byte).
class DriverSetUp {
 public:
  enum Callbacks { kRegister, kAsRegistered };
  explicit DriverSetUp(bool endAtJobEnd, Callbacks callbacks = kRegister);
  ~DriverSetUp();
  DriverSetUp(const DriverSetUp&) = delete;
  DriverSetUp& operator=(const DriverSetUp&) = delete;
};

}  // namespace tarvell::host
