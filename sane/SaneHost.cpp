#include "sane/SaneHost.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "driver/ScannerCallbacks.h"
#include "platform/ica/HostSteps.h"
#include "platform/ica/ScanSettings.h"
#include "platform/system/Parse.h"
#include "platform/system/Log.h"
#include "platform/system/SystemInfo.h"
#include "platform/usb/LibusbBus.h"
#include "platform/usb/SimBus.h"
#include "sim/SimulatedScanner.h"
#include "usb/ScanJob.h"

namespace tarvell::sane {
namespace {

plist::DictionaryRef Checked(plist::DictionaryRef dict) {
  if (!dict) throw std::bad_alloc();
  return dict;
}

}  // namespace

int DebugLevel() {
  const char* text = std::getenv("SANE_DEBUG_TARVELL");
  return text ? std::atoi(text) : 0;
}

void Debug(int level, const char* format, ...) {
  if (DebugLevel() < level) return;
  va_list args;
  va_start(args, format);
  std::fputs("[tarvell] ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
}

// ---------------------------------------------------------------------------------------------
// Backend

Backend::Backend(BackendConfig config) : config_(std::move(config)) {
  for (const std::string& warning : config_.warnings) Debug(1, "%s", warning.c_str());
  previousBus_ = tarvell::usb::ActiveBus();
  std::shared_ptr<tarvell::usb::Bus> bus;
  tarvell::usb::CaptureOptions clock;
  if (!config_.replay.empty()) {
    std::string error;
    bus = replay_ = tarvell::usb::ReplayBus::Open(config_.replay, &error);
    if (!replay_) Debug(0, "replay %s: %s", config_.replay.c_str(), error.c_str());
    searchBus_ = true;
  } else if (config_.simulate()) {
    simBus_ = tarvell::usb::SimBus::Create();
    for (const auto& options : config_.simulated)
      simulated_.push_back(tarvell::sim::InstallSimulatedScanner(*simBus_, options));
    auto simulated = simBus_;
    clock.clockMicros = [simulated] { return simulated->Now() * 1000; };
    bus = simBus_;
    searchBus_ = true;
    if (!config_.usb.empty()) Debug(1, "'simulate' given: the 'usb' lines are not used");
  } else {
    for (const UsbEntry& entry : config_.usb) {
      if (entry.byLocation)
        locations_.push_back(entry.locationID);
      else if (entry.vendorID == tarvell::device::kVendorID && entry.productID == tarvell::device::kProductID)
        searchBus_ = true;
      else
        Debug(1, "usb 0x%04x 0x%04x: this backend drives only 0x%04x 0x%04x; line not used",
              entry.vendorID, entry.productID, tarvell::device::kVendorID, tarvell::device::kProductID);
    }
    if (config_.usb.empty()) searchBus_ = true;
    bus = tarvell::usb::MakeLibusbBus();
  }
  if (bus && !config_.capture.empty()) {
    std::string error;
    capture_ = tarvell::usb::CapturingBus::Create(bus, config_.capture, &error, clock);
    if (capture_) bus = capture_;
    else Debug(0, "capture: %s", error.c_str());
  }
  // Without a bus (a replay that cannot be read) the backend offers no device.
  tarvell::usb::SetActiveBus(bus);
  gTimerValueInSeconds = 1.0;
  tarvell::SetScanJobEndsAtJobEnd(config_.endAtJobEnd);
  RegisterScannerCallbacks();
  Debug(3, "configuration %s, %s bus", config_.path.empty() ? "(none)" : config_.path.c_str(),
        simBus_ ? "simulated" : "USB");
}

Backend::~Backend() {
  tarvell::SetScanJobEndsAtJobEnd(false);
  while (!devices_.empty()) Close(devices_.back().get());
  tarvell::usb::SetActiveBus(previousBus_);
  if (replay_ && !replay_->divergence().empty()) Debug(0, "replay stopped: %s", replay_->divergence().c_str());
  std::string error;
  if (capture_ && !capture_->Finish(&error)) Debug(0, "%s", error.c_str());
}

std::string Backend::NameFor(UInt32 location) const { return (simBus_ ? "sim:" : "usb:") + tarvell::Hex32(location); }

bool Backend::ParseName(const std::string& name, UInt32* location) const {
  std::string number = name;
  const std::string prefix = simBus_ ? "sim:" : "usb:";
  if (name.compare(0, prefix.size(), prefix) == 0) number = name.substr(prefix.size());
  if (number.empty() || number.find_first_not_of("0123456789abcdefABCDEFx") != std::string::npos) return false;
  unsigned long long value = 0;
  if (!tarvell::ParseUnsigned(number, 0xFFFFFFFFull, &value) || value == 0) return false;
  *location = UInt32(value);
  return true;
}

namespace {

// The services of `className` the active bus has at `location`; empty when the search fails.
tarvell::usb::ServiceList ServicesAt(const char* className, UInt32 location) {
  using namespace tarvell::usb;
  std::shared_ptr<Bus> bus = ActiveBus();
  std::unique_ptr<MasterPort> port;
  MatchingDictionary matching;
  ServiceList services;
  if (!bus || bus->CreateMasterPort(&port) != kIOReturnSuccess || !port ||
      !port->CreateMatching(className, &matching))
    return services;
  matching.locationID = location;
  if (port->GetMatchingServices(matching, &services) != kIOReturnSuccess) services.clear();
  return services;
}

}  // namespace

bool Backend::Present(UInt32 location) const {
  using namespace tarvell::usb;
  for (const auto& service : ServicesAt(kDeviceClass, location)) {
    std::unique_ptr<PlugIn> plugIn;
    std::unique_ptr<USBDevice> device;
    UInt32 found = 0;
    if (service->CreatePlugIn(&plugIn) == kIOReturnSuccess && plugIn &&
        plugIn->QueryDevice(&device) == kIOReturnSuccess && device &&
        device->GetLocationID(&found) == kIOReturnSuccess && found == location)
      return true;
  }
  return false;
}

bool Backend::HeldElsewhere(UInt32 location) const {
  using namespace tarvell::usb;
  for (const auto& service : ServicesAt(kInterfaceClass, location)) {
    std::unique_ptr<PlugIn> plugIn;
    std::unique_ptr<USBInterface> interface;
    if (service->CreatePlugIn(&plugIn) != kIOReturnSuccess || !plugIn ||
        plugIn->QueryInterface(&interface) != kIOReturnSuccess || !interface)
      continue;
    const IOReturn claimed = interface->Open();
    if (claimed == kIOReturnExclusiveAccess) return true;
    if (claimed == kIOReturnSuccess) interface->Close();
  }
  return false;
}

void Backend::ForgetTransfers() {
  if (simBus_) simBus_->ClearCalls();
}

bool Backend::Owns(const void* handle) const {
  for (const auto& device : devices_)
    if (device.get() == handle) return true;
  return false;
}

namespace {

// Whether the system refuses this user the scanner at `location` (0: any), said on the debug output.
bool Denied(UInt32 location) {
  const UInt32 denied = tarvell::usb::ScannerDeniedAt(location);
  if (denied) Debug(1, "%s", tarvell::usb::AccessDeniedText(denied).c_str());
  return denied != 0;
}

}  // namespace

std::vector<Backend::Found> Backend::ListDevices() {
  std::vector<Found> found;
  auto known = [&](UInt32 location) {
    for (const Found& f : found)
      if (f.location == location) return true;
    return false;
  };
  for (const auto& device : devices_)
    if (!device->gone()) found.push_back({device->location(), device->name(), device->model()});

  auto add = [&](ScannerObjectInfo* record) {
    const UInt32 location = record->uniqueID;
    if (!known(location)) found.push_back({location, NameFor(location), record->name});
    tarvell::ica::CloseDevice(record);
  };
  for (UInt32 location : locations_) {
    if (known(location) || !Present(location)) continue;
    ScannerObjectInfo* record = nullptr;
    ICAError err = tarvell::ica::OpenDeviceAt(location, &record);
    if (err == noErr)
      add(record);
    else
      Debug(3, "no scanner opens at %s (status %d)", tarvell::Hex32(location).c_str(), err);
  }
  if (searchBus_) {
    std::vector<ScannerObjectInfo*> opened;
    ICAError err = tarvell::ica::OpenFoundDevices(true, &opened);
    if (err != noErr && err != fnfErr) Debug(1, "searching the bus failed (status %d)", err);
    if (opened.empty()) Denied(0);
    for (ScannerObjectInfo* record : opened) add(record);
  }
  Debug(3, "%zu device(s) listed", found.size());
  return found;
}

SANE_Status Backend::Open(const std::string& name, Device** device) {
  *device = nullptr;
  UInt32 location = 0;
  if (name.empty()) {
    // The first device listed that is not open yet.
    for (const Found& f : ListDevices()) {
      bool open = false;
      for (const auto& d : devices_) open |= d->location() == f.location && !d->gone();
      if (!open) {
        location = f.location;
        break;
      }
    }
    if (location == 0) return Denied(0) ? SANE_STATUS_ACCESS_DENIED : SANE_STATUS_INVAL;
  } else if (!ParseName(name, &location)) {
    Debug(1, "'%s' is not a device of this backend", name.c_str());
    return SANE_STATUS_INVAL;
  }
  for (const auto& d : devices_)
    if (d->location() == location && !d->gone()) return SANE_STATUS_DEVICE_BUSY;

  // The driver opens the first scanner interface it can: only ask for one that is there.
  if (!Present(location)) {
    Debug(1, "no scanner at %s", tarvell::Hex32(location).c_str());
    return SANE_STATUS_INVAL;
  }
  ScannerObjectInfo* record = nullptr;
  ICAError err = tarvell::ica::OpenDeviceAt(location, &record);
  if (err != noErr) {
    Debug(1, "opening %s failed (status %d)", tarvell::Hex32(location).c_str(), err);
    if (Denied(location)) return SANE_STATUS_ACCESS_DENIED;
    // fnfErr: the driver has it open already; a refused claim: another program has it.
    return err == fnfErr || HeldElsewhere(location) ? SANE_STATUS_DEVICE_BUSY : SANE_STATUS_IO_ERROR;
  }
  auto opened = std::make_unique<Device>(*this, record, location, NameFor(location), record->name);
  opened->ReadCapabilities();
  *device = opened.get();
  devices_.push_back(std::move(opened));
  Debug(3, "opened %s", (*device)->name().c_str());
  return SANE_STATUS_GOOD;
}

void Backend::Close(Device* device) {
  for (auto it = devices_.begin(); it != devices_.end(); ++it) {
    if (it->get() != device) continue;
    std::unique_ptr<Device> closing = std::move(*it);
    devices_.erase(it);
    Debug(3, "closing %s", closing->name().c_str());
    closing.reset();
    return;
  }
}

// ---------------------------------------------------------------------------------------------
// Device

Device::Device(Backend& backend, ScannerObjectInfo* record, UInt32 location, std::string name, std::string model)
    : backend_(backend), record_(record), location_(location), name_(std::move(name)), model_(std::move(model)) {
  options_ = std::make_unique<OptionSet>(geometry_);
}

Device::~Device() {
  image_.Close();
  // A device that went away was closed when that was noticed.
  if (record_) tarvell::ica::CloseDevice(record_);
}

void Device::ReadCapabilities() {
  // The capabilities come in a session of their own, as the command-line host reads them.
  if (tarvell::ica::OpenSession(record_) == noErr) {
    plist::DictionaryRef dict;
    if (tarvell::ica::GetParameters(record_, &dict) == noErr && dict) {
      plist::DictionaryRef device = plist::AsDictionary(dict->Get("device"));
      const SInt32 native = tarvell::ica::CapabilityValue(device, "ICAP_XNATIVERESOLUTION", 600);
      const SInt32 width = tarvell::ica::CapabilityValue(device, "ICAP_PHYSICALWIDTH",
                                                         tarvell::ica::CapabilityValue(device, "tabletWidth", 0));
      const SInt32 height = tarvell::ica::CapabilityValue(device, "ICAP_PHYSICALHEIGHT",
                                                          tarvell::ica::CapabilityValue(device, "tabletHeight", 0));
      if (native > 0 && width > 0 && height > 0) {
        geometry_.bedWidth = UInt32(int64_t(width) * 600 / native);
        geometry_.bedHeight = UInt32(int64_t(height) * 600 / native);
      }
    }
    // The dictionary gives only the range of resolutions; the driver knows the steps.
    const std::vector<UInt32> resolutions = ScannerResolutions(record_);
    if (!resolutions.empty()) geometry_.resolutions.assign(resolutions.begin(), resolutions.end());
    tarvell::ica::CloseSession(record_);
  }
  options_ = std::make_unique<OptionSet>(geometry_);
}

SANE_Parameters Device::Parameters() const {
  if (image_.isOpen()) return image_.parameters();
  if (hasFrame_ && frameSettings_ == options_->settings()) return frame_;
  return PredictParameters(options_->settings());
}

void Device::ReleaseImage() {
  image_.Close();
  scanning_ = false;
}

SANE_Status Device::Failed(const char* step, ICAError err) {
  if (err == kICADeviceNotFoundErr || !backend_.Present(location_)) {
    // Gone: the host closes it; the handle answers IO_ERROR until sane_close.
    gone_ = true;
    Debug(1, "%s: the scanner is gone (%s failed with status %d)", name_.c_str(), step, err);
    tarvell::ica::CloseSession(record_);
    tarvell::ica::CloseDevice(record_);
    record_ = nullptr;
  } else {
    Debug(1, "%s: %s failed (status %d)", name_.c_str(), step, err);
  }
  return SANE_STATUS_IO_ERROR;
}

SANE_Status Device::Start() {
  if (gone_) return SANE_STATUS_IO_ERROR;
  if (scanning_ && !image_.finished() && !cancelRequested_.load()) return SANE_STATUS_DEVICE_BUSY;
  ReleaseImage();
  cancelRequested_.store(false);
  delivered_ = false;
  hasFrame_ = false;

  const ScanSettings& settings = options_->settings();
  const SANE_Parameters expected = PredictParameters(settings);
  if (expected.lines == 0 || expected.pixels_per_line == 0) {
    Debug(1, "%s: the scan area is empty", name_.c_str());
    return SANE_STATUS_INVAL;
  }
  const AreaRequest area = AreaFromSettings(settings);
  Debug(3, "%s: %s %d dpi, offset %d,%d/600 in, %d x %d pixels", name_.c_str(), ModeName(settings.mode),
        area.resolution, area.offsetX, area.offsetY, area.width, area.height);

  // The host's order: session, capabilities, scan area, start, the new file's description,
  // its bytes in pieces, delete, end of session.
  if (ICAError err = tarvell::ica::OpenSession(record_)) return Failed("opening a session", err);
  std::vector<UInt8> tiff;
  SANE_Status status = SANE_STATUS_GOOD;
  {
    plist::DictionaryRef caps;
    ICAError err = tarvell::ica::GetParameters(record_, &caps);
    if (err == noErr) err = tarvell::ica::SetParameters(record_, Checked(SettingsDictionary(settings)));
    if (err != noErr) {
      status = Failed("setting the scan area", err);
    } else {
      ScannerObjectInfo* file = nullptr;
      err = tarvell::ica::Start(record_, &file);
      if (err == noErr && file) {
        tiff.reserve(file->dataSize);
        err = tarvell::ica::ReadWholeFile(file, [&](const UInt8* bytes, UInt32 count) {
          tiff.insert(tiff.end(), bytes, bytes + count);
          return true;
        });
      }
      ICAError deleted = file ? tarvell::ica::DeleteFile(file) : ICAError(noErr);
      if (err != noErr || !file)
        status = Failed(file ? "reading the scanned file" : "the scan", err);
      else if (deleted != noErr)
        Debug(1, "%s: deleting the scanned file failed (status %d)", name_.c_str(), deleted);
    }
  }
  if (record_) tarvell::ica::CloseSession(record_);
  backend_.ForgetTransfers();
  if (status != SANE_STATUS_GOOD) return status;

  std::string error;
  if (!image_.Open(std::move(tiff), &error)) {
    Debug(1, "%s: %s", name_.c_str(), error.c_str());
    return SANE_STATUS_IO_ERROR;
  }
  const SANE_Parameters got = image_.parameters();
  if (got.format != expected.format || got.depth != expected.depth) {
    Debug(1, "%s: asked for %s, the scanner delivered %d-bit %s", name_.c_str(), ModeName(settings.mode), got.depth,
          got.format == SANE_FRAME_RGB ? "colour" : "grey");
    ReleaseImage();
    return SANE_STATUS_IO_ERROR;
  }
  if (got.pixels_per_line != expected.pixels_per_line || got.lines != expected.lines)
    Debug(3, "%s: expected %d x %d pixels, the scanner delivered %d x %d", name_.c_str(), expected.pixels_per_line,
          expected.lines, got.pixels_per_line, got.lines);
  if (cancelRequested_.load()) {
    ReleaseImage();
    return SANE_STATUS_CANCELLED;
  }
  scanning_ = true;
  frame_ = got;
  frameSettings_ = settings;
  hasFrame_ = true;
  return SANE_STATUS_GOOD;
}

SANE_Status Device::Read(SANE_Byte* data, SANE_Int capacity, SANE_Int* length) {
  *length = 0;
  if (cancelRequested_.load()) {
    ReleaseImage();
    return SANE_STATUS_CANCELLED;
  }
  if (!scanning_) return delivered_ ? SANE_STATUS_EOF : SANE_STATUS_INVAL;
  if (capacity <= 0) return SANE_STATUS_GOOD;
  std::string error;
  long n = image_.Read(data, size_t(capacity), &error);
  if (n < 0) {
    Debug(1, "%s: %s", name_.c_str(), error.c_str());
    ReleaseImage();
    return SANE_STATUS_IO_ERROR;
  }
  if (n == 0) {
    // Every line handed out: the image is no longer needed.
    ReleaseImage();
    delivered_ = true;
    return SANE_STATUS_EOF;
  }
  *length = SANE_Int(n);
  return SANE_STATUS_GOOD;
}

}  // namespace tarvell::sane
