#include "platform/usb/Capture.h"

#include <pcap/pcap.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>

#include "platform/usb/Usbmon.h"

namespace tarvell {
namespace usb {
namespace {

// Big enough for the largest transfer the driver makes (128 KiB) and what readers accept.
constexpr int kSnapLength = 262144;
constexpr size_t kHeaderBytes = 64;

UInt8 UsbmonType(UInt8 transferType) {
  switch (transferType) {
    case kUSBControl: return kUsbmonControl;
    case kUSBIsoc: return kUsbmonIso;
    case kUSBInterrupt: return kUsbmonInterrupt;
    default: return kUsbmonBulk;
  }
}

// Statuses of calls the layer refuses before anything reaches the bus.
bool NeverReachedTheBus(IOReturn status) {
  return status == kIOReturnNotOpen || status == kIOReturnBadArgument || status == kIOReturnUnsupported ||
         status == kIOReturnNoResources;
}

void PutSetup(UsbmonRecord& r, const DeviceRequest& s) {
  r.hasSetup = true;
  const UInt8 setup[8] = {s.bmRequestType, s.bRequest,           UInt8(s.wValue),  UInt8(s.wValue >> 8),
                          UInt8(s.wIndex), UInt8(s.wIndex >> 8), UInt8(s.wLength), UInt8(s.wLength >> 8)};
  std::memcpy(r.setup, setup, 8);
}

}  // namespace

struct CapturingBus::Writer {
  pcap_t* dead = nullptr;
  pcap_dumper_t* dumper = nullptr;
  std::map<UInt32, Device> devices;  // by interface service
  UInt64 wallStart = 0;
  std::chrono::steady_clock::time_point monotonicStart;
  ~Writer() {
    if (dumper) pcap_dump_close(dumper);
    if (dead) pcap_close(dead);
  }
};

CapturingBus::CapturingBus(std::shared_ptr<Bus> inner, std::string path, CaptureOptions options)
    : ForwardingBus(std::move(inner)), path_(std::move(path)), options_(std::move(options)) {}

std::shared_ptr<CapturingBus> CapturingBus::Create(std::shared_ptr<Bus> inner, const std::string& path,
                                                   std::string* error, CaptureOptions options) {
  auto bus = std::make_shared<CapturingBus>(std::move(inner), path, std::move(options));
  auto writer = std::make_unique<Writer>();
  writer->dead = pcap_open_dead(DLT_USB_LINUX_MMAPPED, kSnapLength);
  if (writer->dead) writer->dumper = pcap_dump_open(writer->dead, (path + ".part").c_str());
  if (!writer->dumper) {
    if (error)
      *error = "cannot write the capture " + path +
               ".part: " + (writer->dead ? pcap_geterr(writer->dead) : "libpcap could not start");
    return nullptr;
  }
  writer->wallStart =
      UInt64(std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
                 .count());
  writer->monotonicStart = std::chrono::steady_clock::now();
  bus->writer_ = std::move(writer);
  return bus;
}

CapturingBus::~CapturingBus() { Finish(nullptr); }

bool CapturingBus::Finish(std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!writer_) return !failed_;
  bool ok = !failed_ && pcap_dump_flush(writer_->dumper) == 0 && !std::ferror(pcap_dump_file(writer_->dumper));
  pcap_dump_close(writer_->dumper);
  writer_->dumper = nullptr;
  writer_.reset();
  if (ok && std::rename((path_ + ".part").c_str(), path_.c_str()) != 0) ok = false;
  if (!ok) {
    failed_ = true;
    if (error) *error = "the capture " + path_ + ".part could not be written whole: " + std::strerror(errno);
  }
  return ok;
}

UInt64 CapturingBus::Now() const {
  if (options_.clockMicros) return options_.clockMicros();
  return writer_->wallStart + UInt64(std::chrono::duration_cast<std::chrono::microseconds>(
                                         std::chrono::steady_clock::now() - writer_->monotonicStart)
                                         .count());
}

void CapturingBus::Write(const UsbmonRecord& record, UInt64 now) {
  if (!writer_ || failed_) return;
  UsbmonRecord r = record;
  r.seconds = SInt64(now / 1000000);
  r.micros = SInt32(now % 1000000);
  const size_t whole = kHeaderBytes + r.data.size();
  r.dataLength = UInt32(r.data.size());
  if (whole > size_t(kSnapLength)) r.data.resize(kSnapLength - kHeaderBytes);  // cut as a snap length cuts
  std::vector<UInt8> bytes = EncodeUsbmon(r);
  // The record still says how much data the transfer had.
  std::memcpy(bytes.data() + 36, &r.dataLength, 4);
  pcap_pkthdr header{};
  header.ts.tv_sec = time_t(r.seconds);
  header.ts.tv_usec = suseconds_t(r.micros);
  header.caplen = bpf_u_int32(bytes.size());
  header.len = bpf_u_int32(whole);
  pcap_dump(reinterpret_cast<u_char*>(writer_->dumper), &header, bytes.data());
  // Flushed at once: what was recorded before a crash can still be read.
  if (pcap_dump_flush(writer_->dumper) != 0) failed_ = true;
}

CapturingBus::Device CapturingBus::DeviceOf(const InterfacePlace& place) {
  auto known = writer_->devices.find(place.service);
  if (known != writer_->devices.end()) return known->second;
  // Find the device of the interface among the bus's devices, for its place and identity.
  UInt32 location = place.locationID;
  UInt16 vendor = 0, product = 0;
  UInt8 address = place.deviceAddress;
  std::unique_ptr<MasterPort> port;
  MatchingDictionary matching;
  ServiceList services;
  if (inner() && inner()->CreateMasterPort(&port) == kIOReturnSuccess && port &&
      port->CreateMatching(kDeviceClass, &matching)) {
    matching.locationID = location;
    if (port->GetMatchingServices(matching, &services) != kIOReturnSuccess) services.clear();
  }
  for (auto& service : services) {
    std::unique_ptr<PlugIn> plugIn;
    std::unique_ptr<USBDevice> device;
    UInt32 at = 0;
    if (!service || service->CreatePlugIn(&plugIn) != kIOReturnSuccess || !plugIn ||
        plugIn->QueryDevice(&device) != kIOReturnSuccess || !device || device->GetLocationID(&at) != kIOReturnSuccess)
      continue;
    if (at != location && !(location == 0 && services.size() == 1)) continue;
    location = at;
    device->GetVendor(&vendor);
    device->GetProduct(&product);
    if (address == 0) address = service->deviceAddress();
    break;
  }
  Device d;
  d.bus = UInt16(location >> 24);
  // Without an address from the bus: a number from the port path, the same in every run.
  d.number = address != 0 ? address : UInt8(2 + ((location >> 16) & 0xFF) % 126);
  writer_->devices[place.service] = d;

  if (vendor != 0 || product != 0) {
    UsbmonRecord s;
    s.urbID = nextURB_++;
    s.type = 'S';
    s.transferType = kUsbmonControl;
    s.endpoint = 0x80;
    s.device = d.number;
    s.bus = d.bus;
    DeviceRequest request;
    request.bmRequestType = 0x80;
    request.bRequest = 0x06;  // GET_DESCRIPTOR
    request.wValue = 0x0100;  // DEVICE
    request.wLength = 18;
    PutSetup(s, request);
    s.status = kUsbmonInProgress;
    s.length = 18;
    const UInt64 now = Now();
    Write(s, now);
    UsbmonRecord c = s;
    c.type = 'C';
    c.hasSetup = false;
    c.status = 0;
    c.data = {
        18,   1,    0x00, 0x02, 0, 0, 0, 64, UInt8(vendor), UInt8(vendor >> 8), UInt8(product), UInt8(product >> 8),
        0x00, 0x01, 0,    0,    0, 1};
    Write(c, now);
  }
  return d;
}

void CapturingBus::InterfaceOpened(const InterfacePlace& place, IOReturn status) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (status == kIOReturnSuccess && writer_) DeviceOf(place);
}

void CapturingBus::BeforeTransfer(Transfer&) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (writer_) submittedAt_ = Now();
}

void CapturingBus::AfterTransfer(Transfer& t) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!writer_ || NeverReachedTheBus(t.status) || !t.place) return;
  const Device d = DeviceOf(*t.place);
  UsbmonRecord s;
  s.urbID = nextURB_++;
  s.type = 'S';
  s.transferType = UsbmonType(t.transferType);
  s.endpoint = t.endpoint;
  s.device = d.number;
  s.bus = d.bus;
  s.status = kUsbmonInProgress;
  UsbmonRecord c = s;
  c.type = 'C';
  c.status = UsbmonStatus(t.status);
  c.length = t.done;
  const bool in = (t.endpoint & 0x80) != 0;
  switch (t.kind) {
    case Transfer::kRead:
      s.length = t.length;
      if (t.data && t.done > 0) c.data.assign(t.data, t.data + std::min(t.done, t.length));
      break;
    case Transfer::kWrite:
      s.length = t.length;
      if (t.data) s.data.assign(t.data, t.data + t.length);
      break;
    case Transfer::kControl:
    case Transfer::kClearHalt:
      PutSetup(s, t.setup);
      s.length = t.setup.wLength;
      if (!in && t.data && t.setup.wLength > 0) s.data.assign(t.data, t.data + t.setup.wLength);
      if (in && t.data && t.done > 0) c.data.assign(t.data, t.data + std::min<UInt32>(t.done, t.setup.wLength));
      break;
  }
  Write(s, submittedAt_);
  Write(c, Now());
}

}  // namespace usb
}  // namespace tarvell
