#include "sane/SaneHost.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "driver/ScannerCallbacks.h"
#include "host/Scanners.h"
#include "platform/ica/HostSteps.h"
#include "platform/ica/ScanSettings.h"
#include "platform/system/Log.h"
#include "platform/system/Parse.h"
#include "platform/system/SystemInfo.h"
#include "platform/usb/SimBus.h"

namespace tarvell::sane {
namespace {

// A driver call's bound: it may come after the tail of a job still finishing (two calls) and
// make a session of its own, each transfer ending within its completion time-out.
constexpr std::chrono::milliseconds kDeviceCallBound = tarvell::host::TransfersTime(8);

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

// ---------------------------------------------------------------------------------------------
// Device

Device::Device(Backend& backend, ScannerObjectInfo* record, UInt32 location, std::string name, std::string model)
    : backend_(backend), record_(record), location_(location), name_(std::move(name)), model_(std::move(model)) {
  options_ = std::make_unique<OptionSet>(space_);
}

Device::~Device() { Shut(); }

void Device::Shut() {
  closed_ = true;
  if (stream_ && !stream_->WaitUntilDone()) Debug(1, "%s: %s", name_.c_str(), stream_->why().c_str());
  ReleaseStream();
  // A device that went away was closed when that was noticed. The close comes after the tail of
  // a job still finishing on the device.
  ScannerObjectInfo* record = std::exchange(record_, nullptr);
  try {
    if (record) backend_.driver_.CallFor(kDeviceCallBound, [record] { tarvell::ica::CloseDevice(record); });
  } catch (const std::exception& e) {  // the device stopped answering: the handle goes all the same
    Debug(1, "%s: closing: %s", name_.c_str(), e.what());
  }
}

void Device::ReadCapabilities() {
  space_ = tarvell::host::ReadScannerFacts(record_);
  options_ = std::make_unique<OptionSet>(space_);
}

SANE_Parameters Device::Parameters() const {
  if (hasFrame_ && (scanning_ || frameSettings_ == options_->settings())) return frame_;
  return PredictParameters(options_->settings(), space_);
}

void Device::ReleaseStream() {
  scanning_ = false;
  nonBlocking_ = false;
  if (!stream_) return;
  cancellable_.store(nullptr);
  while (cancelling_.load() != 0) std::this_thread::yield();
  stream_.reset();
}

void Device::Cancel() {
  cancelRequested_.store(true);
  ++cancelling_;
  if (tarvell::host::PageStream* stream = cancellable_.load()) stream->Cancel();
  --cancelling_;
}

SANE_Status Device::Failed(const std::string& why, ICAError err) {
  ReleaseStream();
  // Bounded: behind this page's job may come the tail of a device that stopped answering.
  const bool gone = backend_.driver_.CallFor(kDeviceCallBound, [err, location = location_, record = record_] {
    if (err != kICADeviceNotFoundErr && !tarvell::host::ScannersOnBus(location).empty()) return false;
    // Gone: the host closes it; the handle answers IO_ERROR until sane_close.
    tarvell::ica::CloseDevice(record);
    return true;
  });
  if (gone) {
    gone_ = true;
    record_ = nullptr;
    Debug(1, "%s: the scanner is gone (%s)", name_.c_str(), why.c_str());
  } else {
    Debug(1, "%s: %s", name_.c_str(), why.c_str());
  }
  return SANE_STATUS_IO_ERROR;
}

SANE_Status Device::PageFailed() {
  if (stream_->WaitUntilDone()) return Failed(stream_->why(), stream_->status());
  // The device stopped answering: the driver thread is held, so nothing more is asked of it.
  Debug(1, "%s: %s", name_.c_str(), stream_->why().c_str());
  ReleaseStream();
  return SANE_STATUS_IO_ERROR;
}

SANE_Status Device::Start() {
  if (gone_) return SANE_STATUS_IO_ERROR;
  if (scanning()) return SANE_STATUS_DEVICE_BUSY;
  ReleaseStream();
  cancelRequested_.store(false);
  delivered_ = false;
  hasFrame_ = false;

  const ScanSettings& settings = options_->settings();
  tarvell::host::ScanPlan plan;
  std::string why;
  if (!PlanFor(settings, space_, &plan, &why)) {
    Debug(1, "%s: %s", name_.c_str(), why.c_str());
    return SANE_STATUS_INVAL;
  }
  const SANE_Parameters expected = ParametersFor(settings.mode, SANE_Int(plan.page.width), SANE_Int(plan.page.height));
  const AreaRequest area = AreaFromSettings(settings);
  Debug(3, "%s: %s %d dpi, offset %d,%d/600 in, %d x %d pixels", name_.c_str(), ModeName(settings.mode),
        area.resolution, area.offsetX, area.offsetY, area.width, area.height);
  plist::DictionaryRef dict = tarvell::ica::MakeScanSettings(plan.scan, HostSystemVersion());
  if (!dict) throw std::bad_alloc();

  // The scan runs on the driver thread, after whatever the last one still does on the device.
  stream_ = tarvell::host::PageStream::Start(backend_.driver_, record_, dict);
  cancellable_.store(stream_.get());
  if (cancelRequested_.load()) stream_->Cancel();

  tarvell::host::PageFormat format;
  if (!stream_->WaitForFormat(&format)) {
    if (stream_->cancelled()) {
      ReleaseStream();
      return SANE_STATUS_CANCELLED;
    }
    return PageFailed();
  }
  const ScanMode got = tarvell::host::ModeOf(format.kind);
  const SANE_Parameters frame = ParametersFor(got, SANE_Int(format.width), SANE_Int(format.height));
  if (got != settings.mode) {
    Debug(1, "%s: asked for %s, the scanner delivered %s", name_.c_str(), ModeName(settings.mode), ModeName(got));
    stream_->Cancel();
    ReleaseStream();
    return SANE_STATUS_IO_ERROR;
  }
  if (frame.pixels_per_line != expected.pixels_per_line || frame.lines != expected.lines)
    Debug(3, "%s: expected %d x %d pixels, the scanner delivers %d x %d", name_.c_str(), expected.pixels_per_line,
          expected.lines, frame.pixels_per_line, frame.lines);
  scanning_ = true;
  frame_ = frame;
  frameSettings_ = settings;
  hasFrame_ = true;
  return SANE_STATUS_GOOD;
}

SANE_Status Device::Read(SANE_Byte* data, SANE_Int capacity, SANE_Int* length) {
  *length = 0;
  if (cancelRequested_.load() && stream_) {
    ReleaseStream();
    return SANE_STATUS_CANCELLED;
  }
  if (!scanning_ || !stream_)
    return delivered_ ? SANE_STATUS_EOF : cancelRequested_.load() ? SANE_STATUS_CANCELLED : SANE_STATUS_INVAL;
  if (capacity <= 0) return SANE_STATUS_GOOD;
  size_t count = 0;
  switch (stream_->Read(data, size_t(capacity), &count, !nonBlocking_)) {
    case tarvell::host::PageStream::Result::kData: *length = SANE_Int(count); return SANE_STATUS_GOOD;
    case tarvell::host::PageStream::Result::kWouldBlock: return SANE_STATUS_GOOD;
    case tarvell::host::PageStream::Result::kEnd:
      // Every byte handed out: the job finishes on the device in the background.
      ReleaseStream();
      delivered_ = true;
      return SANE_STATUS_EOF;
    case tarvell::host::PageStream::Result::kCancelled: ReleaseStream(); return SANE_STATUS_CANCELLED;
    case tarvell::host::PageStream::Result::kFailed: break;
  }
  // A page that cannot be completed is never handed out padded or cut short.
  return PageFailed();
}

SANE_Status Device::SetNonBlocking(bool nonBlocking) {
  if (!scanning()) return SANE_STATUS_INVAL;
  nonBlocking_ = nonBlocking;
  return SANE_STATUS_GOOD;
}

SANE_Status Device::SelectFd(SANE_Int* fd) const {
  if (!scanning() || !stream_) return SANE_STATUS_INVAL;
  *fd = stream_->readyFd();
  return SANE_STATUS_GOOD;
}

}  // namespace tarvell::sane
