#include "host/Scanners.h"

#include <memory>

#include "driver/ScannerCallbacks.h"
#include "platform/ica/HostSteps.h"
#include "platform/ica/ScanSettings.h"
#include "platform/system/Parse.h"
#include "platform/usb/USB.h"
#include "usb/DeviceFacts.h"

namespace tarvell::host {
namespace {

using namespace tarvell::usb;

// The services of `className` the active bus has at `location` (anywhere for 0); empty when the
// search fails.
ServiceList ServicesAt(const char* className, UInt32 location) {
  std::shared_ptr<Bus> bus = ActiveBus();
  std::unique_ptr<MasterPort> port;
  MatchingDictionary matching;
  ServiceList services;
  if (!bus || bus->CreateMasterPort(&port) != kIOReturnSuccess || !port || !port->CreateMatching(className, &matching))
    return services;
  matching.locationID = location;
  matching.vendorID = tarvell::device::kVendorID;
  matching.productID = tarvell::device::kProductID;
  matching.bulkOutEndpoint = tarvell::device::kRequestEndpoint;
  if (port->GetMatchingServices(matching, &services) != kIOReturnSuccess) services.clear();
  return services;
}

// Calls `found` with each scanner's device object and location; stops when it returns true.
template <class Found>
void EachScanner(UInt32 location, Found found) {
  for (const auto& service : ServicesAt(kDeviceClass, location)) {
    std::unique_ptr<PlugIn> plugIn;
    std::unique_ptr<USBDevice> device;
    UInt16 vendor = 0, product = 0;
    UInt32 at = 0;
    if (service && service->CreatePlugIn(&plugIn) == kIOReturnSuccess && plugIn &&
        plugIn->QueryDevice(&device) == kIOReturnSuccess && device && device->GetVendor(&vendor) == kIOReturnSuccess &&
        vendor == tarvell::device::kVendorID && device->GetProduct(&product) == kIOReturnSuccess &&
        product == tarvell::device::kProductID && device->GetLocationID(&at) == kIOReturnSuccess &&
        (location == 0 || at == location) && found(*device, at))
      return;
  }
}

}  // namespace

std::vector<UInt32> ScannersOnBus(UInt32 location) {
  std::vector<UInt32> found;
  EachScanner(location, [&](USBDevice&, UInt32 at) {
    found.push_back(at);
    return false;
  });
  return found;
}

bool HeldElsewhere(UInt32 location) {
  for (const auto& service : ServicesAt(kInterfaceClass, location)) {
    std::unique_ptr<PlugIn> plugIn;
    std::unique_ptr<USBInterface> interface;
    if (!service || service->CreatePlugIn(&plugIn) != kIOReturnSuccess || !plugIn ||
        plugIn->QueryInterface(&interface) != kIOReturnSuccess || !interface)
      continue;
    const IOReturn claimed = interface->Open();
    if (claimed == kIOReturnExclusiveAccess) return true;
    if (claimed == kIOReturnSuccess) interface->Close();
  }
  return false;
}

UInt32 ScannerDeniedAt(UInt32 location) {
  UInt32 denied = 0;
  EachScanner(location, [&](USBDevice& device, UInt32 at) {
    const IOReturn opened = device.Open();
    if (opened == kIOReturnSuccess) device.Close();
    if (opened != kIOReturnNotPermitted) return false;
    denied = at;
    return true;
  });
  return denied;
}

std::string AccessDeniedText(UInt32 location) {
  return "the scanner at location " + Hex32(location) +
         " is on the bus, but the system does not let this user open it (access denied). Install "
         "the udev rule 55-tarvell-k310.rules (package tarvell-scanner), unplug the scanner and plug it "
         "in again, and log in again; a service such as saned needs its user in the scanner group.";
}

ScannerFacts ReadScannerFacts(ScannerObjectInfo* device) {
  ScannerFacts facts;
  if (tarvell::ica::OpenSession(device) != noErr) return facts;
  plist::DictionaryRef dict;
  if (tarvell::ica::GetParameters(device, &dict) == noErr && dict)
    tarvell::ica::GlassSize(plist::AsDictionary(dict->Get("device")), &facts.bedWidth, &facts.bedHeight);
  // The dictionary gives only the range of resolutions; the driver knows the steps.
  std::vector<UInt32> resolutions = ScannerResolutions(device);
  if (!resolutions.empty()) facts.resolutions = std::move(resolutions);
  tarvell::ica::CloseSession(device);
  return facts;
}

}  // namespace tarvell::host
