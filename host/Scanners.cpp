#include "host/Scanners.h"

#include <memory>

#include "driver/ScannerCallbacks.h"
#include "platform/ica/HostSteps.h"
#include "platform/ica/ScanSettings.h"
#include "platform/system/Parse.h"
#include "platform/usb/USB.h"
#include "usb/DeviceFacts.h"
#include "usb/ScanJob.h"

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

bool ScanSpaceOf(const ScannerObjectInfo* device, const plist::DictionaryRef& parameters, ScanSpace* space) {
  ScanSpace read;
  // The dictionary gives only the range of resolutions; the driver knows the steps.
  std::vector<UInt32> resolutions = ScannerResolutions(device);
  if (!resolutions.empty()) read.resolutions = std::move(resolutions);
  const bool glass = tarvell::ica::GlassSize(parameters ? plist::AsDictionary(parameters->Get("device")) : nullptr,
                                             &read.bedWidth, &read.bedHeight);
  *space = std::move(read);
  return glass;
}

ScannerFacts ReadScannerFacts(ScannerObjectInfo* device) {
  ScannerFacts facts;
  if (tarvell::ica::OpenSession(device) != noErr) return facts;
  plist::DictionaryRef dict;
  if (tarvell::ica::GetParameters(device, &dict) != noErr) dict = nullptr;
  ScanSpaceOf(device, dict, &facts);  // the device's glass where the driver gives none
  tarvell::ica::CloseSession(device);
  return facts;
}

OpenProblem WhyOpenFailed(UInt32 location, ICAError err) {
  if (UInt32 denied = ScannerDeniedAt(location)) return {OpenProblem::kDenied, AccessDeniedText(denied)};
  const std::vector<UInt32> there = ScannersOnBus(location);
  if (there.empty()) {
    if (location == 0) return {OpenProblem::kNotThere, "no scanner found"};
    std::string others;
    for (UInt32 other : ScannersOnBus(0)) others += (others.empty() ? "" : ", ") + Hex32(other);
    return {OpenProblem::kNotThere,
            "there is no scanner at location " + Hex32(location) +
                (others.empty() ? "; no scanner is connected" : "; the scanners connected are at " + others)};
  }
  const std::string at = "the scanner at location " + Hex32(there.front());
  // fnfErr: the driver has it open already; a refused claim: another program has it.
  if (err == fnfErr || HeldElsewhere(there.front())) return {OpenProblem::kBusy, at + " is in use by another program"};
  return {OpenProblem::kFailed, "cannot open " + at + " (status " + std::to_string(err) + ")"};
}

bool OpenScanner(UInt32 location, ScannerObjectInfo** record, UInt32* at, OpenProblem* problem) {
  *record = nullptr;
  // The driver opens the first scanner interface it can: only ask for one that is there.
  const std::vector<UInt32> found = ScannersOnBus(location);
  if (found.empty()) {
    *problem = WhyOpenFailed(location, fnfErr);
    return false;
  }
  *at = found.front();
  const ICAError err = tarvell::ica::OpenDeviceAt(*at, record);
  if (err == noErr) return true;
  *record = nullptr;
  if (ScannersOnBus(*at).empty())
    *problem = {OpenProblem::kGone, "the scanner at location " + Hex32(*at) + " went away while it was being opened"};
  else
    *problem = WhyOpenFailed(*at, err);
  return false;
}

DriverSetUp::DriverSetUp(bool endAtJobEnd, Callbacks callbacks) {
  gTimerValueInSeconds = 1.0;
  tarvell::SetScanJobEndsAtJobEnd(endAtJobEnd);
  if (callbacks == kRegister) RegisterScannerCallbacks();
}

DriverSetUp::~DriverSetUp() { tarvell::SetScanJobEndsAtJobEnd(false); }

}  // namespace tarvell::host
