#include "sane/SaneHost.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "driver/ScannerCallbacks.h"
#include "host/Log.h"
#include "host/Scanners.h"
#include "platform/ica/HostSteps.h"
#include "platform/ica/ScanSettings.h"
#include "platform/system/Log.h"
#include "platform/system/Parse.h"
#include "platform/system/SystemInfo.h"
#include "platform/usb/SimBus.h"

namespace tarvell::sane {

// ---------------------------------------------------------------------------------------------
// Backend

Backend::Backend(BackendConfig config) : config_(std::move(config)) {
  // Debug decides what is shown; the log only tags it.
  tarvell::host::ConfigureLog("[tarvell] ", int(tarvell::host::LogLevel::kError));
  for (const std::string& warning : config_.warnings) Debug(1, "%s", warning.c_str());
  tarvell::host::BusChoice choice;
  choice.replay = config_.replay;
  choice.simulated = config_.simulated;
  choice.capture = config_.capture;
  choice.clock = config_.clock;
  if (!config_.replay.empty() || config_.simulate()) {
    searchBus_ = true;
    if (config_.simulate() && !config_.usb.empty()) Debug(1, "'simulate' given: the 'usb' lines are not used");
  } else {
    for (const UsbEntry& entry : config_.usb) {
      if (entry.byLocation)
        locations_.push_back(entry.locationID);
      else if (entry.vendorID == tarvell::host::kVendorID && entry.productID == tarvell::host::kProductID)
        searchBus_ = true;
      else
        Debug(1, "usb 0x%04x 0x%04x: this backend drives only 0x%04x 0x%04x; line not used", entry.vendorID,
              entry.productID, tarvell::host::kVendorID, tarvell::host::kProductID);
    }
    if (config_.usb.empty()) searchBus_ = true;
  }
  // Without a bus (a replay that cannot be read) the backend offers no device; without the
  // capture it goes on uncaptured.
  std::vector<std::string> problems;
  bus_ = tarvell::host::HostBus::Install(choice, &problems);
  for (const std::string& problem : problems) Debug(0, "%s", problem.c_str());
  setUp_ = std::make_unique<tarvell::host::DriverSetUp>(config_.endAtJobEnd);
  Debug(3, "configuration %s, %s bus", config_.path.empty() ? "(none)" : config_.path.c_str(),
        bus_->simulatedBus() ? "simulated" : "USB");
}

Backend::~Backend() {
  while (!devices_.empty()) Close(devices_.back().get());
  driver_.Call([] {});  // whatever was posted last has run
  setUp_.reset();
  std::vector<std::string> problems;
  bus_->Finish(&problems);
  for (const std::string& problem : problems) Debug(0, "%s", problem.c_str());
}

std::string Backend::NameFor(UInt32 location) const {
  return (bus_->simulatedBus() ? "sim:" : "usb:") + tarvell::Hex32(location);
}

bool Backend::ParseName(const std::string& name, UInt32* location) const {
  std::string number = name;
  const std::string prefix = bus_->simulatedBus() ? "sim:" : "usb:";
  if (name.compare(0, prefix.size(), prefix) == 0) number = name.substr(prefix.size());
  if (number.empty() || number.find_first_not_of("0123456789abcdefABCDEFx") != std::string::npos) return false;
  unsigned long long value = 0;
  if (!tarvell::ParseUnsigned(number, 0xFFFFFFFFull, &value) || value == 0) return false;
  *location = UInt32(value);
  return true;
}

std::shared_ptr<Device> Backend::Find(const void* handle) const {
  std::lock_guard<std::mutex> lock(devicesLock_);
  for (const auto& device : devices_)
    if (device.get() == handle) return device;
  return nullptr;
}

namespace {

// A scanner that cannot be opened, said on the debug output and as SANE says it.
SANE_Status Refused(const tarvell::host::OpenProblem& problem) {
  Debug(1, "%s", problem.message.c_str());
  switch (problem.kind) {
    case tarvell::host::OpenProblem::kNotThere: return SANE_STATUS_INVAL;
    case tarvell::host::OpenProblem::kBusy: return SANE_STATUS_DEVICE_BUSY;
    case tarvell::host::OpenProblem::kDenied: return SANE_STATUS_ACCESS_DENIED;
    default: return SANE_STATUS_IO_ERROR;
  }
}

}  // namespace

std::vector<Backend::Found> Backend::ListDevices() {
  std::vector<Found> found;
  auto add = [&](UInt32 location, const std::string& name, const std::string& model) {
    for (const Found& f : found)
      if (f.location == location) return;
    found.push_back({location, name, model});
  };
  {
    std::lock_guard<std::mutex> lock(devicesLock_);
    for (const auto& device : devices_)
      if (!device->gone()) add(device->location(), device->name(), device->model());
  }
  const std::vector<UInt32> onBus = driver_.CallFor(kDeviceCallBound, [this] {
    std::vector<UInt32> all;
    for (UInt32 location : locations_)
      for (UInt32 at : tarvell::host::ScannersOnBus(location)) all.push_back(at);
    if (searchBus_)
      for (UInt32 at : tarvell::host::ScannersOnBus(0)) all.push_back(at);
    return all;
  });
  for (UInt32 location : onBus) add(location, NameFor(location), tarvell::host::kModelName);
  Debug(3, "%zu device(s) listed", found.size());
  return found;
}

SANE_Status Backend::Open(const std::string& name, Device** device) {
  *device = nullptr;
  UInt32 location = 0;
  if (name.empty()) {
    // The first device listed that is not open yet.
    const std::vector<Found> listed = ListDevices();
    for (const Found& f : listed) {
      bool open = false;
      std::lock_guard<std::mutex> lock(devicesLock_);
      for (const auto& d : devices_) open |= d->location() == f.location && !d->gone();
      if (!open) {
        location = f.location;
        break;
      }
    }
    if (location == 0 && !listed.empty()) {
      Debug(1, "every scanner here is open already");
      return SANE_STATUS_INVAL;
    }
    if (location == 0) {
      // None there, or none this user may open.
      const SANE_Status status = Refused(driver_.Call([] { return tarvell::host::WhyOpenFailed(0, fnfErr); }));
      return status == SANE_STATUS_ACCESS_DENIED ? status : SANE_STATUS_INVAL;
    }
  } else if (!ParseName(name, &location)) {
    Debug(1, "'%s' is not a device of this backend", name.c_str());
    return SANE_STATUS_INVAL;
  }
  {
    std::lock_guard<std::mutex> lock(devicesLock_);
    for (const auto& d : devices_)
      if (d->location() == location && !d->gone()) return SANE_STATUS_DEVICE_BUSY;
  }

  auto opened = std::make_shared<std::shared_ptr<Device>>();  // the task's, should the wait end first
  const SANE_Status status = driver_.CallFor(kDeviceCallBound, [this, location, opened]() -> SANE_Status {
    ScannerObjectInfo* record = nullptr;
    UInt32 at = 0;
    tarvell::host::OpenProblem problem;
    if (!tarvell::host::OpenScanner(location, &record, &at, &problem)) return Refused(problem);
    *opened = std::make_shared<Device>(*this, record, location, NameFor(location), record->name);
    (*opened)->ReadCapabilities();
    return SANE_STATUS_GOOD;
  });
  if (status != SANE_STATUS_GOOD) return status;
  *device = opened->get();
  std::lock_guard<std::mutex> lock(devicesLock_);
  devices_.push_back(std::move(*opened));
  Debug(3, "opened %s", (*device)->name().c_str());
  return SANE_STATUS_GOOD;
}

void Backend::Close(const void* handle) {
  std::shared_ptr<Device> closing;
  {
    std::lock_guard<std::mutex> lock(devicesLock_);
    for (auto it = devices_.begin(); it != devices_.end() && !closing; ++it)
      if (it->get() == handle) {
        closing = std::move(*it);
        devices_.erase(it);
      }
  }
  if (!closing) return;
  Debug(3, "closing %s", closing->name().c_str());
  closing->Cancel();  // a read waiting on the page returns, and the rest of it is dropped
  std::lock_guard<std::mutex> calls(closing->calls());
  closing->Shut();
}

}  // namespace tarvell::sane
