#include "platform/ica/ScanCommand.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <vector>

#include "platform/ica/HostSteps.h"
#include "platform/ica/ICAHost.h"
#include "platform/system/SystemInfo.h"
#include "platform/usb/USB.h"

namespace tarvell {
namespace ica {
namespace {

constexpr double kMillimetresPerInch = 25.4;
// The glass, in 1/600 inch.
constexpr double kGlassWidth600 = 5100;
constexpr double kGlassHeight600 = 7014;
// The image pipe's endpoint, whose bytes the progress meter counts.
constexpr UInt8 kImageEndpoint = 8;
// The status of a failed write of the output file (an I/O error).
constexpr ICAError kWriteFailed = -36;
// Bytes asked for in one file read.
constexpr UInt32 kReadPiece = 1u << 20;

void Complain(const HostOptions& options, const std::string& message) {
  std::cerr << options.program << ": " << message << "\n";
}

bool ParseMillimetres(const std::string& text, double* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(value) || value < 0) return false;
  *out = value;
  return true;
}

bool ParseWhole(const std::string& text, UInt32 low, UInt32 high, UInt32* out) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < low || value > high) return false;
  *out = static_cast<UInt32>(value);
  return true;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

SInt32 Pixels(double millimetres, UInt32 dpi) {
  return static_cast<SInt32>(std::llround(millimetres / kMillimetresPerInch * dpi));
}

SInt32 Units600(double millimetres) {
  return static_cast<SInt32>(std::llround(millimetres / kMillimetresPerInch * 600));
}

// Bytes the scanner should send for the request (at the resolution asked for).
UInt64 ExpectedBytes(const ScanRequest& request) {
  const UInt64 w = UInt64(std::max<SInt32>(0, Pixels(request.width, request.resolution))) *
                   request.scale / 100;
  const UInt64 h = UInt64(std::max<SInt32>(0, Pixels(request.height, request.resolution))) *
                   request.scale / 100;
  switch (request.mode) {
    case ScanRequest::kLineart: return (w + 7) / 8 * h;
    case ScanRequest::kGray: return w * h;
    default: return w * h * 3;
  }
}

// --- Progress: the host counts the image bytes its bus delivers to the module. ------------------

// On a terminal one line is redrawn at every percent; into a file or pipe a line is written at
// every quarter, so logs stay readable.
class ProgressMeter {
 public:
  explicit ProgressMeter(UInt64 expected) : expected_(expected), terminal_(isatty(2) == 1) {}
  ~ProgressMeter() { Finish(); }
  void Add(UInt64 bytes) {
    received_ += bytes;
    int percent = expected_ ? int(std::min<UInt64>(100, received_ * 100 / expected_)) : 0;
    if (!terminal_) percent -= percent % 25;
    if (percent == shown_) return;
    shown_ = percent;
    std::fprintf(stderr, "%sscanning: %llu of %llu bytes (%d%%)%s", terminal_ ? "\r" : "",
                 (unsigned long long)received_, (unsigned long long)expected_, percent,
                 terminal_ ? "" : "\n");
    std::fflush(stderr);
    started_ = true;
  }
  void Finish() {
    if (!started_) return;
    std::fprintf(stderr, "%sscanning: %llu bytes received%*s\n", terminal_ ? "\r" : "",
                 (unsigned long long)received_, terminal_ ? 24 : 0, "");
    started_ = false;
  }

 private:
  UInt64 expected_;
  bool terminal_;
  UInt64 received_ = 0;
  int shown_ = -1;
  bool started_ = false;
};

class MeteredInterface : public usb::USBInterface {
 public:
  MeteredInterface(std::unique_ptr<usb::USBInterface> inner, ProgressMeter* meter)
      : inner_(std::move(inner)), meter_(meter) {}
  IOReturn Open() override { return inner_->Open(); }
  IOReturn Close() override { return inner_->Close(); }
  IOReturn GetNumEndpoints(UInt8* out) override { return inner_->GetNumEndpoints(out); }
  IOReturn SetAlternateInterface(UInt8 setting) override {
    imagePipe_ = -1;
    return inner_->SetAlternateInterface(setting);
  }
  IOReturn GetPipeProperties(UInt8 pipeRef, usb::PipeProperties* out) override {
    return inner_->GetPipeProperties(pipeRef, out);
  }
  IOReturn ReadPipe(UInt8 pipeRef, void* buffer, UInt32* size, UInt32 noDataTimeoutMs,
                    UInt32 completionTimeoutMs) override {
    const IOReturn status = inner_->ReadPipe(pipeRef, buffer, size, noDataTimeoutMs, completionTimeoutMs);
    if (status == kIOReturnSuccess && size && *size > 0 && IsImagePipe(pipeRef)) meter_->Add(*size);
    return status;
  }
  IOReturn WritePipe(UInt8 pipeRef, const void* buffer, UInt32 size, UInt32 noDataTimeoutMs,
                     UInt32 completionTimeoutMs) override {
    return inner_->WritePipe(pipeRef, buffer, size, noDataTimeoutMs, completionTimeoutMs);
  }
  IOReturn ControlRequest(usb::DeviceRequest* request) override { return inner_->ControlRequest(request); }
  IOReturn ClearPipeStallBothEnds(UInt8 pipeRef) override { return inner_->ClearPipeStallBothEnds(pipeRef); }
  IOReturn AbortPipe(UInt8 pipeRef) override { return inner_->AbortPipe(pipeRef); }
  IOReturn ResetPipe(UInt8 pipeRef) override { return inner_->ResetPipe(pipeRef); }

 private:
  bool IsImagePipe(UInt8 pipeRef) {
    if (imagePipe_ < 0) {
      usb::PipeProperties p;
      if (inner_->GetPipeProperties(pipeRef, &p) != kIOReturnSuccess) return false;
      if (p.direction != usb::kUSBIn || p.number != kImageEndpoint) return false;
      imagePipe_ = pipeRef;
    }
    return imagePipe_ == pipeRef;
  }

  std::unique_ptr<usb::USBInterface> inner_;
  ProgressMeter* meter_;
  int imagePipe_ = -1;
};

class MeteredPlugIn : public usb::PlugIn {
 public:
  MeteredPlugIn(std::unique_ptr<usb::PlugIn> inner, ProgressMeter* meter)
      : inner_(std::move(inner)), meter_(meter) {}
  IOReturn QueryDevice(std::unique_ptr<usb::USBDevice>* out) override { return inner_->QueryDevice(out); }
  IOReturn QueryInterface(std::unique_ptr<usb::USBInterface>* out) override {
    std::unique_ptr<usb::USBInterface> inner;
    const IOReturn status = inner_->QueryInterface(&inner);
    if (out) *out = inner ? std::make_unique<MeteredInterface>(std::move(inner), meter_) : nullptr;
    return status;
  }

 private:
  std::unique_ptr<usb::PlugIn> inner_;
  ProgressMeter* meter_;
};

class MeteredService : public usb::Service {
 public:
  MeteredService(std::unique_ptr<usb::Service> inner, ProgressMeter* meter)
      : inner_(std::move(inner)), meter_(meter) {}
  UInt32 id() const override { return inner_->id(); }
  IOReturn CreatePlugIn(std::unique_ptr<usb::PlugIn>* out) override {
    std::unique_ptr<usb::PlugIn> inner;
    const IOReturn status = inner_->CreatePlugIn(&inner);
    if (out) *out = inner ? std::make_unique<MeteredPlugIn>(std::move(inner), meter_) : nullptr;
    return status;
  }

 private:
  std::unique_ptr<usb::Service> inner_;
  ProgressMeter* meter_;
};

class MeteredPort : public usb::MasterPort {
 public:
  MeteredPort(std::unique_ptr<usb::MasterPort> inner, ProgressMeter* meter)
      : inner_(std::move(inner)), meter_(meter) {}
  bool CreateMatching(const char* className, usb::MatchingDictionary* out) override {
    return inner_->CreateMatching(className, out);
  }
  IOReturn GetMatchingServices(const usb::MatchingDictionary& matching, usb::ServiceList* out) override {
    usb::ServiceList inner;
    const IOReturn status = inner_->GetMatchingServices(matching, &inner);
    if (out) {
      out->clear();
      for (auto& service : inner) out->push_back(std::make_unique<MeteredService>(std::move(service), meter_));
    }
    return status;
  }

 private:
  std::unique_ptr<usb::MasterPort> inner_;
  ProgressMeter* meter_;
};

// The active bus, seen through the meter while it lives.
class MeteredBus : public usb::Bus {
 public:
  MeteredBus(std::shared_ptr<usb::Bus> inner, ProgressMeter* meter) : inner_(std::move(inner)), meter_(meter) {}
  IOReturn CreateMasterPort(std::unique_ptr<usb::MasterPort>* out) override {
    std::unique_ptr<usb::MasterPort> inner;
    const IOReturn status = inner_ ? inner_->CreateMasterPort(&inner) : kIOReturnNoResources;
    if (out) *out = inner ? std::make_unique<MeteredPort>(std::move(inner), meter_) : nullptr;
    return status;
  }

 private:
  std::shared_ptr<usb::Bus> inner_;
  ProgressMeter* meter_;
};

// --- The output file: written beside the target, renamed into place only when complete. ------

// The temporary file being written, removed if the user interrupts the program meanwhile.
char gPendingFile[4096];
volatile sig_atomic_t gPending = 0;

void RemovePendingAndDie(int signal) {
  if (gPending) ::unlink(gPendingFile);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

void WatchPending(const std::string& path) {
  if (path.size() >= sizeof gPendingFile) return;
  std::memcpy(gPendingFile, path.c_str(), path.size() + 1);
  gPending = 1;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, RemovePendingAndDie);
}

void ForgetPending() {
  gPending = 0;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, SIG_DFL);
}

class OutputFile {
 public:
  ~OutputFile() { Discard(); }

  bool Open(const std::string& target, std::string* error) {
    target_ = target;
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    temp_ = dir + "." + base + ".XXXXXX";
    std::vector<char> name(temp_.begin(), temp_.end());
    name.push_back('\0');
    fd_ = mkstemp(name.data());
    if (fd_ < 0) {
      *error = "cannot create a file beside '" + target + "': " + std::strerror(errno);
      temp_.clear();
      return false;
    }
    temp_ = name.data();
    WatchPending(temp_);
    // mkstemp makes the file private; give it the mode any new file of the user's gets.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd_, 0666 & ~mask);
    return true;
  }

  bool Write(const UInt8* bytes, size_t count, std::string* error) {
    while (count > 0) {
      const ssize_t n = ::write(fd_, bytes, count);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        *error = "cannot write '" + target_ + "': " + std::strerror(n < 0 ? errno : EIO);
        return false;
      }
      bytes += n;
      count -= size_t(n);
    }
    return true;
  }

  bool Commit(std::string* error) {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
      *error = "cannot write '" + target_ + "': " + std::strerror(errno);
      return false;
    }
    if (std::rename(temp_.c_str(), target_.c_str()) != 0) {
      *error = "cannot write '" + target_ + "': " + std::strerror(errno);
      return false;
    }
    temp_.clear();
    ForgetPending();
    return true;
  }

  void Discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) {
      ::unlink(temp_.c_str());
      ForgetPending();
    }
    temp_.clear();
  }

 private:
  std::string target_;
  std::string temp_;
  int fd_ = -1;
};

std::string StartFailure(ICAError err) {
  const std::string status = " (status " + std::to_string(err) + ")";
  switch (err) {
    case kICACommunicationErr:
      return "the scanner sent no image: it stopped answering or refused the job" + status;
    case kICADeviceNotFoundErr:
      return "the scanner went away during the scan" + status;
    case kICAFileCorruptedErr:
      return "the image the scanner sent is damaged or incomplete" + status;
    case paramErr:
      return "the driver refused the scan settings" + status;
    case memFullErr:
      return "out of memory while scanning" + status;
    default:
      return "the scan failed" + status;
  }
}

// Opens the one device the scan works on: the --device location, or the first found.
ICAError OpenScanDevice(const HostOptions& options, ScannerObjectInfo** device) {
  if (options.device) return OpenDeviceAt(*options.device, device);
  std::vector<ScannerObjectInfo*> opened;
  const ICAError err = OpenFoundDevices(false, &opened);
  if (err == noErr) *device = opened.front();
  return err;
}

// The file object the last scan announced: the newest "object added" notification after `from`.
ICAObject AnnouncedFile(size_t from) {
  const auto& notifications = Recorded().notifications;
  for (size_t i = notifications.size(); i > from; --i)
    if (notifications[i - 1].eventClass == kICAEventObjectAdded) return notifications[i - 1].object;
  return 0;
}

// Reads the file in pieces into `out`. 0 or the read's status.
ICAError ReadFileInto(const ScannerObjectInfo* file, OutputFile* out, std::string* error) {
  auto read = gICDScannerCallbackFunctions.scannerReadFileData;
  if (!read) return unimpErr;
  std::vector<UInt8> piece(std::min<UInt32>(kReadPiece, std::max<UInt32>(file->dataSize, 1)));
  for (UInt32 offset = 0; offset < file->dataSize;) {
    UInt32 count = std::min<UInt32>(UInt32(piece.size()), file->dataSize - offset);
    const ICAError err = read(file, kICAFile, piece.data(), offset, &count);
    if (err != noErr) {
      *error = "reading the scanned file failed (status " + std::to_string(err) + ")";
      return err;
    }
    if (!out->Write(piece.data(), count, error)) return kWriteFailed;
    offset += count;
  }
  return noErr;
}

}  // namespace

bool ParseScanRequest(const HostOptions& options, ScanRequest* request, std::string* error) {
  auto value = [&](const char* name) -> const std::string* {
    auto it = options.values.find(name);
    return it == options.values.end() ? nullptr : &it->second;
  };
  if (const std::string* mode = value("mode")) {
    const std::string m = Lower(*mode);
    if (m == "lineart") request->mode = ScanRequest::kLineart;
    else if (m == "gray" || m == "grey") request->mode = ScanRequest::kGray;
    else if (m == "color" || m == "colour") request->mode = ScanRequest::kColor;
    else {
      *error = "bad --mode '" + *mode + "': give Lineart, Gray or Color";
      return false;
    }
  }
  if (const std::string* dpi = value("resolution")) {
    if (!ParseWhole(*dpi, 75, 600, &request->resolution)) {
      *error = "bad --resolution '" + *dpi + "': give dots per inch from 75 to 600";
      return false;
    }
  }
  if (const std::string* scale = value("scale")) {
    if (!ParseWhole(*scale, 10, 1000, &request->scale)) {
      *error = "bad --scale '" + *scale + "': give a percentage from 10 to 1000";
      return false;
    }
  }
  const struct {
    const char* name;
    char flag;
    double* field;
  } lengths[] = {{"left", 'l', &request->left},
                 {"top", 't', &request->top},
                 {"width", 'x', &request->width},
                 {"height", 'y', &request->height}};
  for (const auto& length : lengths) {
    if (const std::string* text = value(length.name)) {
      if (!ParseMillimetres(*text, length.field)) {
        *error = std::string("bad -") + length.flag + " '" + *text + "': give millimetres, e.g. 25.4";
        return false;
      }
    }
  }
  const double glassWidth = kGlassWidth600 / 600 * kMillimetresPerInch;
  const double glassHeight = kGlassHeight600 / 600 * kMillimetresPerInch;
  char glass[64];
  std::snprintf(glass, sizeof glass, "%.1f x %.1f mm", glassWidth, glassHeight);
  if (Units600(request->left + request->width) > kGlassWidth600 ||
      Units600(request->top + request->height) > kGlassHeight600) {
    *error = std::string("the scan area leaves the glass (") + glass + ")";
    return false;
  }
  const SInt32 minimum = request->mode == ScanRequest::kLineart ? 8 : 1;
  if (Pixels(request->width, request->resolution) < minimum ||
      Pixels(request->height, request->resolution) < 1) {
    *error = "the scan area is too small for one pixel at " + std::to_string(request->resolution) + " dpi";
    return false;
  }
  if (const std::string* output = value("output")) {
    if (output->empty()) {
      *error = "bad -o '': give a file name";
      return false;
    }
    request->output = *output;
  }
  request->progress = value("progress") != nullptr;
  return true;
}

plist::DictionaryRef MakeScanSettings(const ScanRequest& request, SInt32 systemVersion) {
  const SInt32 offsetX = Units600(request.left);
  const SInt32 offsetY = Units600(request.top);
  const SInt32 width = Pixels(request.width, request.resolution);
  const SInt32 height = Pixels(request.height, request.resolution);
  const SInt32 depth = request.mode == ScanRequest::kLineart ? 1 : 8;
  plist::DictionaryRef area = plist::MakeDictionary();
  if (!area) return nullptr;
  if (systemVersion > 0x102F) {
    auto one = [](plist::ValueRef value) {
      plist::DictionaryRef record = plist::MakeDictionary();
      if (record) {
        record->Set("type", plist::MakeString("TWON_ONEVALUE"));
        record->Set("value", std::move(value));
      }
      return record;
    };
    const SInt32 pixelType = request.mode == ScanRequest::kLineart ? 0 : request.mode == ScanRequest::kGray ? 1 : 2;
    area->Set("ICAP_PIXELTYPE", one(plist::MakeInteger(pixelType)));
    area->Set("ICAP_BITDEPTH", one(plist::MakeInteger(depth)));
    area->Set("ICAP_XSCALING", one(plist::MakeFloat(request.scale / 100.0f)));
    area->Set("ICAP_YSCALING", one(plist::MakeFloat(request.scale / 100.0f)));
    area->Set("ICAP_XRESOLUTION", one(plist::MakeInteger(SInt32(request.resolution))));
    area->Set("ICAP_YRESOLUTION", one(plist::MakeInteger(SInt32(request.resolution))));
  } else {
    area->Set("colorMode", plist::MakeInteger(request.mode == ScanRequest::kColor ? 1 : 10));
    area->Set("bitDepth", plist::MakeInteger(depth));
    area->Set("scaling", plist::MakeFloat(float(request.scale)));
    area->Set("resolutionX", plist::MakeInteger(SInt32(request.resolution)));
    area->Set("resolutionY", plist::MakeInteger(SInt32(request.resolution)));
  }
  area->Set("offsetX", plist::MakeInteger(offsetX));
  area->Set("offsetY", plist::MakeInteger(offsetY));
  area->Set("width", plist::MakeInteger(width));
  area->Set("height", plist::MakeInteger(height));
  plist::DictionaryRef settings = plist::MakeDictionary();
  if (settings) settings->Set("userScanArea", area);
  return settings;
}

int RunScan(const HostOptions& options) {
  if (!options.operands.empty()) {
    Complain(options, "scan takes no operands (the output file goes with -o FILE)");
    return kExitUsage;
  }
  ScanRequest request;
  std::string error;
  if (!ParseScanRequest(options, &request, &error)) {
    Complain(options, error);
    return kExitUsage;
  }
  SInt32 systemVersion = kDefaultSystemVersion;
  if (QuerySystemInfo(kSystemVersionSelector, &systemVersion) != noErr) systemVersion = kDefaultSystemVersion;

  // With --progress the host watches the image bytes on their way to the module.
  std::unique_ptr<ProgressMeter> meter;
  std::shared_ptr<usb::Bus> plainBus = usb::ActiveBus();
  if (request.progress) {
    meter = std::make_unique<ProgressMeter>(ExpectedBytes(request));
    usb::SetActiveBus(std::make_shared<MeteredBus>(plainBus, meter.get()));
  }
  struct BusRestore {
    std::shared_ptr<usb::Bus> bus;
    ~BusRestore() { usb::SetActiveBus(bus); }
  } restore{plainBus};

  ScannerObjectInfo* device = nullptr;
  ICAError err = OpenScanDevice(options, &device);
  if (err != noErr) {
    if (options.device)
      Complain(options, "cannot open the scanner at the given location (status " + std::to_string(err) + ")");
    else if (err == fnfErr)
      Complain(options, "no scanner found");
    else
      Complain(options, "cannot open the scanner (status " + std::to_string(err) + ")");
    return kExitFailure;
  }

  int status = kExitFailure;
  std::string written;
  UInt32 width = 0, height = 0, size = 0;
  if ((err = OpenSession(device)) != noErr) {
    Complain(options, "opening a session failed (status " + std::to_string(err) + ")");
  } else {
    plist::DictionaryRef caps;
    plist::DictionaryRef settings = MakeScanSettings(request, systemVersion);
    if ((err = GetParameters(device, &caps)) != noErr) {
      Complain(options, "reading the capabilities failed (status " + std::to_string(err) + ")");
    } else if (!settings) {
      Complain(options, "out of memory");
    } else if ((err = SetParameters(device, settings)) != noErr) {
      Complain(options, "the driver refused the scan settings (status " + std::to_string(err) + ")");
    } else {
      auto start = gICDScannerCallbackFunctions.scannerStart;
      const size_t before = Recorded().notifications.size();
      ICD_ScannerStartPB pb;
      pb.object = device->icaObject;
      err = start ? start(device, &pb) : unimpErr;
      if (meter) meter->Finish();
      const ICAObject object = err == noErr ? AnnouncedFile(before) : 0;
      ScannerObjectInfo* file = object ? FindObjectRecord(object) : nullptr;
      if (err != noErr) {
        Complain(options, StartFailure(err));
      } else if (!file || file->objectType != kICAFile) {
        Complain(options, "the scan produced no file (the area holds no pixels)");
      } else {
        const std::string target = request.output.empty() ? std::string(file->name) : request.output;
        OutputFile out;
        if (!out.Open(target, &error) || ReadFileInto(file, &out, &error) != noErr ||
            !out.Commit(&error)) {
          out.Discard();
          Complain(options, error);
        } else {
          status = kExitSuccess;
          written = target;
          width = file->dataWidth;
          height = file->dataHeight;
          size = file->dataSize;
        }
        // The host is done with the file either way.
        if (auto send = gICDScannerCallbackFunctions.scannerSendMessage) {
          ICD_ScannerObjectSendMessagePB message;
          message.object = object;
          message.message.messageType = kICAMessageDelete;
          send(file, &message, nullptr);
        }
        ForgetObjectRecord(object);
      }
    }
    CloseSession(device);
  }
  CloseDevice(device);
  if (status == kExitSuccess)
    std::cout << "Wrote " << written << " (" << width << " x " << height << " pixels, " << size
              << " bytes)\n";
  return status;
}

}  // namespace ica
}  // namespace tarvell
