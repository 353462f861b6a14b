#include "platform/usb/USB.h"

#include "platform/system/Parse.h"

#include <cstdio>
#include <utility>

namespace tarvell {
namespace usb {
namespace {

// The bus in use before the host chooses one: it has no registry.
class NoBus : public Bus {
 public:
  IOReturn CreateMasterPort(std::unique_ptr<MasterPort>* out) override {
    out->reset();
    return kIOReturnNoResources;
  }
};

std::shared_ptr<Bus>& Active() {
  static std::shared_ptr<Bus> bus;
  return bus;
}

}  // namespace

void SetActiveBus(std::shared_ptr<Bus> bus) { Active() = std::move(bus); }

std::shared_ptr<Bus> ActiveBus() {
  if (!Active()) Active() = std::make_shared<NoBus>();
  return Active();
}

std::string StatusText(IOReturn status) {
  const char* what = "I/O error";
  switch (status) {
    case kIOReturnSuccess: what = "success"; break;
    case kIOReturnError: what = "general failure"; break;
    case kIOReturnNoMemory: what = "out of memory"; break;
    case kIOReturnNoResources: what = "no USB access"; break;
    case kIOReturnNoDevice: what = "device gone"; break;
    case kIOReturnBadArgument: what = "bad argument"; break;
    case kIOReturnExclusiveAccess: what = "device busy"; break;
    case kIOReturnUnsupported: what = "unsupported"; break;
    case kIOReturnNotOpen: what = "not open"; break;
    case kIOReturnNotPermitted: what = "access denied"; break;
    case kIOReturnTimeout: what = "timed out"; break;
    case kIOReturnOverrun: what = "overrun"; break;
    case kIOReturnAborted: what = "aborted"; break;
    case kIOUSBPipeStalled: what = "pipe stalled"; break;
    default: break;
  }
  char text[64];
  std::snprintf(text, sizeof text, "%s (0x%08x)", what, unsigned(status));
  return text;
}

UInt32 ScannerDeniedAt(UInt32 location) {
  std::unique_ptr<MasterPort> port;
  MatchingDictionary matching;
  ServiceList services;
  if (ActiveBus()->CreateMasterPort(&port) != kIOReturnSuccess || !port ||
      !port->CreateMatching(kDeviceClass, &matching))
    return 0;
  matching.locationID = location;
  if (port->GetMatchingServices(matching, &services) != kIOReturnSuccess) return 0;
  for (const auto& service : services) {
    std::unique_ptr<PlugIn> plugIn;
    std::unique_ptr<USBDevice> device;
    UInt16 vendor = 0, product = 0;
    UInt32 at = 0;
    if (!service || service->CreatePlugIn(&plugIn) != kIOReturnSuccess || !plugIn ||
        plugIn->QueryDevice(&device) != kIOReturnSuccess || !device || device->GetVendor(&vendor) != kIOReturnSuccess ||
        vendor != kScannerVendorID || device->GetProduct(&product) != kIOReturnSuccess ||
        product != kScannerProductID || device->GetLocationID(&at) != kIOReturnSuccess ||
        (location != 0 && at != location))
      continue;
    const IOReturn opened = device->Open();
    if (opened == kIOReturnNotPermitted) return at;
    if (opened == kIOReturnSuccess) device->Close();
  }
  return 0;
}

std::string AccessDeniedText(UInt32 location) {
  return "the scanner at location " + Hex32(location) +
         " is on the bus, but the system does not let this user open it (access denied). Install "
         "the udev rule 55-tarvell-k310.rules (package tarvell-scanner), unplug the scanner and plug it "
         "in again, and log in again; a service such as saned needs its user in the scanner group.";
}

bool MasterPort::CreateMatching(const char* className, MatchingDictionary* out) {
  if (!className || !out) return false;
  out->className = className;
  out->locationID = 0;
  return true;
}

}  // namespace usb
}  // namespace tarvell
