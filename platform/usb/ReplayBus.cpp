#include "platform/usb/ReplayBus.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <set>

#include "platform/system/Log.h"
#include "platform/usb/Usbmon.h"

namespace tarvell {
namespace usb {
namespace {

constexpr UInt32 kDeviceService = 0x1000;
constexpr UInt32 kInterfaceService = 0x1001;

std::string Hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*x", digits, value);
  return text;
}

// The bytes around `at` as text, for a person to see what differs (the requests are XML).
std::string Excerpt(const UInt8* bytes, size_t size, size_t at) {
  const size_t from = at > 24 ? at - 24 : 0, to = std::min(size, at + 8);
  std::string text;
  for (size_t i = from; i < to; ++i)
    text += bytes[i] >= 0x20 && bytes[i] < 0x7F && bytes[i] != '"' ? char(bytes[i]) : '.';
  return text;
}

// The file of FILE@BUS.DEV and the numbers; the whole text when it has no such ending.
void SplitSource(const std::string& source, std::string* file, unsigned* bus, unsigned* device) {
  *file = source;
  *bus = *device = 0;
  const size_t at = source.rfind('@');
  if (at == std::string::npos) return;
  unsigned b = 0, d = 0;
  int used = 0;
  const std::string tail = source.substr(at + 1);
  if (std::sscanf(tail.c_str(), "%3u.%3u%n", &b, &d, &used) == 2 && size_t(used) == tail.size() && b > 0 &&
      b <= 0xFFFF && d > 0 && d < 128) {
    *file = source.substr(0, at);
    *bus = b;
    *device = d;
  }
}

// Whether `r` answers a GET_DESCRIPTOR with the device descriptor of the device sought.
bool IsDescriptorOf(const UsbmonRecord& r, const CapturedDevice& sought) {
  return r.type == 'C' && r.transferType == kUsbmonControl && r.endpoint == 0x80 && r.status == 0 &&
         r.data.size() >= 12 && r.data[1] == 1 && (r.data[8] | r.data[9] << 8) == sought.vendorID &&
         (r.data[10] | r.data[11] << 8) == sought.productID;
}

struct Frame {
  size_t number;
  UsbmonRecord record;
};

bool ReadFrames(pcap_t* pcap, const std::string& name, std::vector<Frame>* frames, std::string* error) {
  const int linktype = pcap_datalink(pcap);
  if (linktype != kLinktypeUsbLinux && linktype != kLinktypeUsbLinuxMmapped) {
    const char* known = pcap_datalink_val_to_name(linktype);
    *error = name + " is not a USB capture: its link type is " + std::to_string(linktype) +
             (known ? std::string(" (") + known + ")" : "") + ", not usbmon's 189 or 220";
    return false;
  }
  pcap_pkthdr* header = nullptr;
  const u_char* bytes = nullptr;
  for (size_t number = 1;; ++number) {
    const int r = pcap_next_ex(pcap, &header, &bytes);
    if (r == PCAP_ERROR_BREAK) return true;
    if (r != 1) {
      *error = name + ": frame " + std::to_string(number) + " cannot be read: " + pcap_geterr(pcap);
      return false;
    }
    Frame f{number, {}};
    std::string why;
    if (!DecodeUsbmon(linktype, bytes, header->caplen, &f.record, &why)) {
      *error = name + ": frame " + std::to_string(number) + " is no usbmon record: " + why;
      return false;
    }
    frames->push_back(std::move(f));
  }
}

bool SelectDevice(const std::vector<Frame>& frames, const std::string& name, UInt16 bus, UInt8 device,
                  CapturedDevice* out, std::string* error) {
  std::set<std::pair<UInt16, UInt8>> bulk;
  for (const Frame& f : frames)
    if (f.record.transferType == kUsbmonBulk) bulk.insert({f.record.bus, f.record.device});
  if (bus == 0) {
    // The scanner by its descriptor; of several (it was re-plugged), the one that did bulk work.
    bool found = false;
    for (const Frame& f : frames) {
      if (!IsDescriptorOf(f.record, *out)) continue;
      const bool worked = bulk.count({f.record.bus, f.record.device}) > 0;
      if (!found || worked) {
        bus = f.record.bus;
        device = f.record.device;
        found = true;
        if (worked) break;
      }
    }
    if (!found) {
      std::string seen;
      for (const auto& d : bulk)
        seen += (seen.empty() ? "" : ", ") + std::to_string(d.first) + "." + std::to_string(d.second);
      *error = name + " holds no device descriptor of the scanner (" + Hex(out->vendorID, 4) + ":" +
               Hex(out->productID, 4) + "); name its device as " + name + "@BUS.DEV" +
               (seen.empty() ? " (the capture has no bulk transfers at all)"
                             : " (devices with bulk transfers: " + seen + ")");
      return false;
    }
  }
  out->bus = bus;
  out->device = device;
  out->transfers.clear();
  out->endpoints.clear();
  std::map<UInt64, size_t> pending;  // URB id -> transfer awaiting its completion
  for (const Frame& f : frames) {
    const UsbmonRecord& r = f.record;
    if (r.bus != bus || r.device != device || r.transferType == kUsbmonIso) continue;
    if (r.type == 'S') {
      CapturedTransfer t;
      t.number = out->transfers.size() + 1;
      t.frame = f.number;
      t.endpoint = r.endpoint;
      t.transferType = r.transferType;
      t.hasSetup = r.hasSetup && r.transferType == kUsbmonControl;
      std::memcpy(t.setup, r.setup, 8);
      t.submittedLength = r.length;
      t.outData = r.data;
      t.cut = r.data.size() < r.dataLength;
      pending[r.urbID] = out->transfers.size();
      out->transfers.push_back(std::move(t));
      if (r.transferType != kUsbmonControl && std::none_of(out->endpoints.begin(), out->endpoints.end(),
                                                           [&](const auto& e) { return e.first == r.endpoint; }))
        out->endpoints.push_back({r.endpoint, r.transferType});
    } else {
      auto it = pending.find(r.urbID);
      if (it == pending.end()) continue;  // submitted before the capture began
      CapturedTransfer& t = out->transfers[it->second];
      pending.erase(it);
      if (t.endpoint != r.endpoint) continue;
      t.completed = true;
      t.status = r.status;
      t.doneLength = r.length;
      t.inData = r.data;
      t.cut = t.cut || r.data.size() < r.dataLength;
    }
  }
  if (out->endpoints.empty()) {
    *error = name + ": device " + std::to_string(bus) + "." + std::to_string(device) +
             " has no bulk or interrupt transfers in the capture";
    return false;
  }
  return true;
}

bool ReadFromPcap(pcap_t* pcap, const std::string& name, UInt16 bus, UInt8 device, CapturedDevice* out,
                  std::string* error) {
  std::vector<Frame> frames;
  const bool ok = ReadFrames(pcap, name, &frames, error) && SelectDevice(frames, name, bus, device, out, error);
  pcap_close(pcap);
  return ok;
}

}  // namespace

bool ReadCapture(const std::string& source, CapturedDevice* out, std::string* error) {
  std::string file;
  unsigned bus = 0, device = 0;
  SplitSource(source, &file, &bus, &device);
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  pcap_t* pcap = pcap_open_offline(file.c_str(), errbuf);
  if (!pcap) {
    *error = file + " cannot be read as a capture: " + errbuf;
    return false;
  }
  return ReadFromPcap(pcap, file, UInt16(bus), UInt8(device), out, error);
}

bool ReadCaptureBytes(const UInt8* bytes, size_t size, UInt16 bus, UInt8 device, CapturedDevice* out,
                      std::string* error) {
  if (size == 0) {
    *error = "the capture is empty";
    return false;
  }
  FILE* memory = fmemopen(const_cast<UInt8*>(bytes), size, "rb");
  if (!memory) {
    *error = "the capture cannot be opened in memory";
    return false;
  }
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  pcap_t* pcap = pcap_fopen_offline(memory, errbuf);  // closes `memory` with itself
  if (!pcap) {
    std::fclose(memory);
    *error = std::string("not a capture: ") + errbuf;
    return false;
  }
  return ReadFromPcap(pcap, "the capture", bus, device, out, error);
}

// ---- the replayed device ----

struct ReplayBus::State {
  CapturedDevice device;
  std::map<UInt8, std::deque<size_t>> queues;  // per bulk/interrupt endpoint, transfers to play
  std::vector<bool> used;                      // control transfers already answered
  std::string divergence;
  bool gone = false;
  bool deviceOpen = false;
  bool interfaceOpen = false;

  explicit State(CapturedDevice d) : device(std::move(d)), used(device.transfers.size(), false) {
    for (const CapturedTransfer& t : device.transfers)
      if (t.transferType != kUsbmonControl) queues[t.endpoint].push_back(t.number - 1);
  }
  UInt32 Location() const { return (UInt32(device.bus & 0xFF) << 24) | 0x00100000; }
  void Diverge(const std::string& why) {
    if (divergence.empty()) {
      divergence = why;
      BridgeNSLog(" > replay: %s\n", why.c_str());
    }
    gone = true;
  }
  // The next recorded transfer on `endpoint`, or null when the capture has no more.
  const CapturedTransfer* Next(UInt8 endpoint) {
    auto& q = queues[endpoint];
    if (q.empty()) return nullptr;
    const CapturedTransfer* t = &device.transfers[q.front()];
    q.pop_front();
    return t;
  }
  IOReturn Finish(const CapturedTransfer& t) {
    const IOReturn status = StatusFromUsbmon(t.status);
    if (status == kIOReturnNoDevice) gone = true;
    return status;
  }
  IOReturn Read(UInt8 endpoint, UInt8* buffer, UInt32* size) {
    const UInt32 capacity = *size;
    *size = 0;
    if (gone) return kIOReturnNoDevice;
    const CapturedTransfer* t = Next(endpoint);
    if (!t || !t->completed) return kIOReturnTimeout;
    if (t->cut) {
      Diverge("transfer " + std::to_string(t->number) + " (frame " + std::to_string(t->frame) + ") on endpoint " +
              Hex(endpoint, 2) + " was cut short by the capture: it cannot be replayed");
      return kIOReturnNoDevice;
    }
    const UInt32 n = UInt32(std::min<size_t>(t->inData.size(), capacity));
    if (n > 0) std::memcpy(buffer, t->inData.data(), n);
    *size = n;
    IOReturn status = Finish(*t);
    if (status == kIOReturnTimeout && n > 0) status = kIOReturnSuccess;  // bytes, then silence
    if (status == kIOReturnSuccess && t->inData.size() > capacity) status = kIOReturnOverrun;
    return status;
  }
  IOReturn Write(UInt8 endpoint, const UInt8* bytes, UInt32 size) {
    if (gone) return kIOReturnNoDevice;
    const CapturedTransfer* t = Next(endpoint);
    if (!t) return kIOReturnTimeout;
    const std::vector<UInt8>& want = t->outData;
    const size_t common = std::min<size_t>(want.size(), size);
    size_t at = 0;
    while (at < common && want[at] == bytes[at]) ++at;
    if (at < common || want.size() != size || t->cut) {
      std::string what;
      if (t->cut)
        what = "which the capture holds only in part";
      else if (at < common)
        what = "at byte " + std::to_string(at) + ": recorded " + Hex(want[at], 2) + ", written " + Hex(bytes[at], 2) +
               " (recorded \"" + Excerpt(want.data(), want.size(), at) + "\", written \"" + Excerpt(bytes, size, at) +
               "\")";
      else if (want.size() < size)
        what = "at byte " + std::to_string(at) + ": the recorded write ends there, the written one has " +
               std::to_string(size) + " bytes";
      else
        what = "at byte " + std::to_string(at) + ": the written one ends there, the recorded write has " +
               std::to_string(want.size()) + " bytes";
      Diverge("the write to endpoint " + Hex(endpoint, 2) + " differs from transfer " + std::to_string(t->number) +
              " of the capture (frame " + std::to_string(t->frame) + ") " + what);
      return kIOReturnNoDevice;
    }
    return t->completed ? Finish(*t) : kIOReturnTimeout;
  }
  IOReturn Control(DeviceRequest* r) {
    if (gone) return kIOReturnNoDevice;
    const UInt8 setup[8] = {r->bmRequestType, r->bRequest,           UInt8(r->wValue),  UInt8(r->wValue >> 8),
                            UInt8(r->wIndex), UInt8(r->wIndex >> 8), UInt8(r->wLength), UInt8(r->wLength >> 8)};
    r->wLenDone = 0;
    for (size_t i = 0; i < device.transfers.size(); ++i) {
      const CapturedTransfer& t = device.transfers[i];
      if (used[i] || !t.hasSetup || std::memcmp(t.setup, setup, 8) != 0) continue;
      used[i] = true;
      if ((r->bmRequestType & 0x80) && r->pData) {
        const size_t n = std::min<size_t>(t.inData.size(), r->wLength);
        if (n > 0) std::memcpy(r->pData, t.inData.data(), n);
        r->wLenDone = UInt32(n);
      } else {
        r->wLenDone = t.doneLength;
      }
      return t.completed ? Finish(t) : kIOReturnTimeout;
    }
    // Not in the capture: a request without data is taken, one that wants data is refused.
    return (r->bmRequestType & 0x80) && r->wLength > 0 ? kIOUSBPipeStalled : kIOReturnSuccess;
  }
};

namespace {

using StateRef = std::shared_ptr<ReplayBus::State>;

class ReplayDevice : public USBDevice {
 public:
  explicit ReplayDevice(StateRef s) : s_(std::move(s)) {}
  ~ReplayDevice() override {
    if (open_) s_->deviceOpen = false;
  }
  IOReturn Open() override {
    if (s_->gone) return kIOReturnNoDevice;
    if (open_ || s_->deviceOpen) return kIOReturnExclusiveAccess;
    open_ = s_->deviceOpen = true;
    return kIOReturnSuccess;
  }
  IOReturn Close() override {
    if (!open_) return kIOReturnNotOpen;
    open_ = s_->deviceOpen = false;
    return kIOReturnSuccess;
  }
  IOReturn GetVendor(UInt16* out) override { return Get(out, s_->device.vendorID); }
  IOReturn GetProduct(UInt16* out) override { return Get(out, s_->device.productID); }
  IOReturn GetLocationID(UInt32* out) override {
    if (s_->gone) return kIOReturnNoDevice;
    *out = s_->Location();
    return kIOReturnSuccess;
  }

 private:
  IOReturn Get(UInt16* out, UInt16 value) {
    if (s_->gone) return kIOReturnNoDevice;
    *out = value;
    return kIOReturnSuccess;
  }
  StateRef s_;
  bool open_ = false;
};

class ReplayInterface : public USBInterface {
 public:
  explicit ReplayInterface(StateRef s) : s_(std::move(s)) {}
  ~ReplayInterface() override {
    if (open_) s_->interfaceOpen = false;
  }
  IOReturn Open() override {
    if (s_->gone) return kIOReturnNoDevice;
    if (open_ || s_->interfaceOpen) return kIOReturnExclusiveAccess;
    open_ = s_->interfaceOpen = true;
    return kIOReturnSuccess;
  }
  IOReturn Close() override {
    if (!open_) return kIOReturnNotOpen;
    open_ = s_->interfaceOpen = false;
    return s_->gone ? kIOReturnNoDevice : kIOReturnSuccess;
  }
  IOReturn GetNumEndpoints(UInt8* out) override {
    IOReturn s = Check();
    if (s == kIOReturnSuccess) *out = UInt8(s_->device.endpoints.size());
    return s;
  }
  IOReturn SetAlternateInterface(UInt8 setting) override {
    IOReturn s = Check();
    return s != kIOReturnSuccess ? s : setting == 0 ? kIOReturnSuccess : kIOReturnBadArgument;
  }
  IOReturn GetPipeProperties(UInt8 pipeRef, PipeProperties* out) override {
    IOReturn s = Check();
    if (s != kIOReturnSuccess) return s;
    if (pipeRef == 0) {
      *out = PipeProperties{kUSBOut, 0, kUSBControl, 64, 0};
      return kIOReturnSuccess;
    }
    if (pipeRef > s_->device.endpoints.size()) return kIOReturnBadArgument;
    const auto& e = s_->device.endpoints[pipeRef - 1];
    *out = PipeProperties{UInt8(e.first & 0x80 ? kUSBIn : kUSBOut), UInt8(e.first & 0x0F),
                          UInt8(e.second == kUsbmonInterrupt ? kUSBInterrupt : kUSBBulk), 512, 0};
    return kIOReturnSuccess;
  }
  IOReturn ReadPipe(UInt8 pipeRef, void* buffer, UInt32* size, UInt32, UInt32) override {
    UInt8 endpoint = 0;
    IOReturn s = Pipe(pipeRef, 0x80, &endpoint);
    if (s != kIOReturnSuccess || !size || (!buffer && *size > 0)) {
      if (size) *size = 0;
      return s != kIOReturnSuccess ? s : kIOReturnBadArgument;
    }
    return s_->Read(endpoint, static_cast<UInt8*>(buffer), size);
  }
  IOReturn WritePipe(UInt8 pipeRef, const void* buffer, UInt32 size, UInt32, UInt32) override {
    UInt8 endpoint = 0;
    IOReturn s = Pipe(pipeRef, 0x00, &endpoint);
    if (s != kIOReturnSuccess) return s;
    if (!buffer && size > 0) return kIOReturnBadArgument;
    return s_->Write(endpoint, static_cast<const UInt8*>(buffer), size);
  }
  IOReturn ControlRequest(DeviceRequest* request) override {
    IOReturn s = Check();
    if (s != kIOReturnSuccess) return s;
    if (!request || (request->wLength > 0 && !request->pData)) return kIOReturnBadArgument;
    return s_->Control(request);
  }
  IOReturn ClearPipeStallBothEnds(UInt8 pipeRef) override {
    UInt8 endpoint = 0;
    IOReturn s = Pipe(pipeRef, 0xFF, &endpoint);
    if (s != kIOReturnSuccess) return s;
    DeviceRequest clear;
    clear.bmRequestType = 0x02;
    clear.bRequest = 0x01;
    clear.wIndex = endpoint;
    return s_->Control(&clear);
  }
  IOReturn AbortPipe(UInt8 pipeRef) override {
    UInt8 endpoint = 0;
    return Pipe(pipeRef, 0xFF, &endpoint);
  }
  IOReturn ResetPipe(UInt8 pipeRef) override {
    UInt8 endpoint = 0;
    return Pipe(pipeRef, 0xFF, &endpoint);
  }

 private:
  IOReturn Check() const {
    if (!open_) return kIOReturnNotOpen;
    return s_->gone ? kIOReturnNoDevice : kIOReturnSuccess;
  }
  // The endpoint of pipe `pipeRef`, which must go in `direction` (0xFF: either).
  IOReturn Pipe(UInt8 pipeRef, UInt8 direction, UInt8* endpoint) const {
    if (!open_) return kIOReturnNotOpen;
    if (s_->gone) return kIOReturnNoDevice;
    if (pipeRef == 0 || pipeRef > s_->device.endpoints.size()) return kIOReturnBadArgument;
    *endpoint = s_->device.endpoints[pipeRef - 1].first;
    if (direction != 0xFF && (*endpoint & 0x80) != direction) return kIOReturnBadArgument;
    return kIOReturnSuccess;
  }
  StateRef s_;
  bool open_ = false;
};

class ReplayPlugIn : public PlugIn {
 public:
  ReplayPlugIn(StateRef s, bool device) : s_(std::move(s)), device_(device) {}
  IOReturn QueryDevice(std::unique_ptr<USBDevice>* out) override {
    out->reset();
    if (!device_) return kIOReturnUnsupported;
    out->reset(new ReplayDevice(s_));
    return kIOReturnSuccess;
  }
  IOReturn QueryInterface(std::unique_ptr<USBInterface>* out) override {
    out->reset();
    if (device_) return kIOReturnUnsupported;
    out->reset(new ReplayInterface(s_));
    return kIOReturnSuccess;
  }

 private:
  StateRef s_;
  bool device_;
};

class ReplayService : public Service {
 public:
  ReplayService(StateRef s, bool device) : s_(std::move(s)), device_(device) {}
  UInt32 id() const override { return device_ ? kDeviceService : kInterfaceService; }
  UInt8 deviceAddress() const override { return s_->device.device; }
  IOReturn CreatePlugIn(std::unique_ptr<PlugIn>* out) override {
    out->reset(new ReplayPlugIn(s_, device_));
    return kIOReturnSuccess;
  }

 private:
  StateRef s_;
  bool device_;
};

class ReplayPort : public MasterPort {
 public:
  explicit ReplayPort(StateRef s) : s_(std::move(s)) {}
  IOReturn GetMatchingServices(const MatchingDictionary& matching, ServiceList* out) override {
    out->clear();
    if (s_->gone || (matching.vendorID != 0 && matching.vendorID != s_->device.vendorID) ||
        (matching.productID != 0 && matching.productID != s_->device.productID))
      return kIOReturnSuccess;
    if (matching.className == kDeviceClass) out->emplace_back(new ReplayService(s_, true));
    if (matching.className == kInterfaceClass && (matching.locationID == 0 || matching.locationID == s_->Location()))
      out->emplace_back(new ReplayService(s_, false));
    return kIOReturnSuccess;
  }

 private:
  StateRef s_;
};

}  // namespace

ReplayBus::ReplayBus(CapturedDevice device) : state_(std::make_shared<State>(std::move(device))) {}

ReplayBus::~ReplayBus() = default;

std::shared_ptr<ReplayBus> ReplayBus::Open(const std::string& source, UInt16 vendorID, UInt16 productID,
                                           std::string* error) {
  CapturedDevice device;
  device.vendorID = vendorID;
  device.productID = productID;
  if (!ReadCapture(source, &device, error)) return nullptr;
  return std::make_shared<ReplayBus>(std::move(device));
}

IOReturn ReplayBus::CreateMasterPort(std::unique_ptr<MasterPort>* out) {
  out->reset(new ReplayPort(state_));
  return kIOReturnSuccess;
}

std::string ReplayBus::divergence() const { return state_->divergence; }

UInt32 ReplayBus::locationID() const { return state_->Location(); }

size_t ReplayBus::remaining() const {
  size_t n = 0;
  for (const auto& q : state_->queues) n += q.second.size();
  return n;
}

}  // namespace usb
}  // namespace tarvell
