#include "sane/SaneDevice.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <thread>

#include "host/Log.h"
#include "host/Scanners.h"
#include "platform/ica/HostSteps.h"
#include "platform/ica/ScanSettings.h"
#include "platform/system/Log.h"
#include "platform/system/SystemInfo.h"
#include "sane/SaneHost.h"

namespace tarvell::sane {

int DebugLevel() {
  const char* text = std::getenv("SANE_DEBUG_TARVELL");
  return text ? std::atoi(text) : 0;
}

void Debug(int level, const char* format, ...) {
  if (DebugLevel() < level) return;
  va_list args;
  va_start(args, format);
  const std::string line = tarvell::FormatLine(format, args);
  va_end(args);
  // The level was decided here: the log writes whatever it is handed at its lowest level.
  tarvell::host::Log(tarvell::host::LogLevel::kError, line);
}

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
