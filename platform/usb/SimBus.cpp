#include "platform/usb/SimBus.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

namespace tarvell {
namespace usb {

const char* SimOpName(SimOp op) {
  switch (op) {
    case SimOp::CreateMasterPort: return "CreateMasterPort";
    case SimOp::CreateMatching: return "CreateMatching";
    case SimOp::GetMatchingServices: return "GetMatchingServices";
    case SimOp::CreatePlugIn: return "CreatePlugIn";
    case SimOp::QueryDevice: return "QueryDevice";
    case SimOp::QueryInterface: return "QueryInterface";
    case SimOp::DeviceOpen: return "DeviceOpen";
    case SimOp::DeviceClose: return "DeviceClose";
    case SimOp::GetVendor: return "GetVendor";
    case SimOp::GetProduct: return "GetProduct";
    case SimOp::GetLocationID: return "GetLocationID";
    case SimOp::InterfaceOpen: return "InterfaceOpen";
    case SimOp::InterfaceClose: return "InterfaceClose";
    case SimOp::GetNumEndpoints: return "GetNumEndpoints";
    case SimOp::SetAlternateInterface: return "SetAlternateInterface";
    case SimOp::GetPipeProperties: return "GetPipeProperties";
    case SimOp::ReadPipe: return "ReadPipe";
    case SimOp::WritePipe: return "WritePipe";
    case SimOp::ControlRequest: return "ControlRequest";
    case SimOp::ClearPipeStallBothEnds: return "ClearPipeStallBothEnds";
    case SimOp::AbortPipe: return "AbortPipe";
    case SimOp::ResetPipe: return "ResetPipe";
  }
  return "?";
}

IOReturn SimDeviceModel::ControlRequest(DeviceRequest* request) {
  request->wLenDone = 0;
  return kIOReturnSuccess;
}

IOReturn SimDeviceModel::ClearHalt(UInt8) { return kIOReturnSuccess; }

// ---- clocks ----

void VirtualClock::SleepUntil(UInt64 micros) {
  UInt64 now = now_.load();
  while (now < micros && !now_.compare_exchange_weak(now, micros)) {
  }
}

namespace {

class SteadyClock : public SimClock {
 public:
  UInt64 NowMicros() const override {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return UInt64(std::chrono::duration_cast<std::chrono::microseconds>(since).count());
  }
  void SleepUntil(UInt64 micros) override {
    // sleep_until may wake early on some systems: check again.
    for (UInt64 now = NowMicros(); now < micros; now = NowMicros())
      std::this_thread::sleep_for(std::chrono::microseconds(micros - now));
  }
};

}  // namespace

std::shared_ptr<SimClock> RealClock() {
  static const std::shared_ptr<SimClock> clock = std::make_shared<SteadyClock>();
  return clock;
}

// ---- the bus ----

std::shared_ptr<SimBus> SimBus::Create() { return std::shared_ptr<SimBus>(new SimBus()); }

SimBus::SimBus() : clock_(std::make_shared<VirtualClock>()) {}

UInt64 SimBus::Now() const { return (clock_->NowMicros() - originMicros_) / 1000; }

void SimBus::SetClock(std::shared_ptr<SimClock> clock) {
  const UInt64 now = Now();
  clock_ = std::move(clock);
  originMicros_ = clock_->NowMicros() - now * 1000;
}

void SimBus::Wait(UInt64 ms) { clock_->SleepUntil(clock_->NowMicros() + ms * 1000); }

SimBus::~SimBus() = default;

std::shared_ptr<SimDevice> SimBus::AddDevice(const SimDeviceSpec& desc) {
  auto device = std::make_shared<SimDevice>(desc);
  device->deviceServiceID = nextServiceID_++;
  for (size_t i = 0; i < desc.interfaces.size(); ++i) {
    device->interfaceServiceIDs.push_back(nextServiceID_++);
    device->interfaceOpen.push_back(false);
    device->currentSetting.push_back(0);
  }
  devices_.push_back(device);
  return device;
}

void SimBus::FailNext(SimOp op, int n, IOReturn status, tarvell::testing::Fails how) {
  if (n < 1) {
    faults_.erase(op);
    return;
  }
  Fault& fault = faults_[op];
  fault.point.Arm(n, how);
  fault.status = status;
}

void SimBus::ClearFaults() { faults_.clear(); }

bool SimBus::TakeFault(SimOp op, IOReturn* status) {
  auto it = faults_.find(op);
  if (it == faults_.end() || !it->second.point.Fire()) return false;
  *status = it->second.status;
  return true;
}

std::vector<SimCall> SimBus::CallsOf(SimOp op) const {
  std::vector<SimCall> out;
  for (const SimCall& c : calls_)
    if (c.op == op) out.push_back(c);
  return out;
}

int SimBus::OpenObjects() const {
  int n = 0;
  for (const auto& d : devices_) {
    n += d->deviceOpen ? 1 : 0;
    n += int(std::count(d->interfaceOpen.begin(), d->interfaceOpen.end(), true));
  }
  return n;
}

// ---- a device ----

void SimDevice::QueueRead(UInt8 endpoint, std::vector<UInt8> data, IOReturn status) {
  reads[endpoint].push_back(SimReadAnswer{status, std::move(data)});
}

void SimDevice::SetHalted(UInt8 endpointAddress, bool halted) { haltedEndpoints[endpointAddress] = halted; }

bool SimDevice::halted(UInt8 endpointAddress) const {
  auto it = haltedEndpoints.find(endpointAddress);
  return it != haltedEndpoints.end() && it->second;
}

const std::vector<UInt8>& SimDevice::written(UInt8 endpoint) const {
  static const std::vector<UInt8> none;
  auto it = writes.find(endpoint);
  return it == writes.end() ? none : it->second;
}

namespace {

// Counts the object while it lives, so tests can see that everything was released.
class Counted {
 public:
  explicit Counted(std::shared_ptr<SimBus> bus) : bus_(std::move(bus)) { bus_->CountLive(1); }
  ~Counted() { bus_->CountLive(-1); }
  Counted(const Counted&) = delete;
  Counted& operator=(const Counted&) = delete;

 protected:
  // Runs one call: injected fault first, then the device's presence, then `body`; records it.
  template <typename Body>
  IOReturn Call(SimCall call, const SimDevice* device, Body body) {
    IOReturn status = kIOReturnSuccess;
    if (!bus_->TakeFault(call.op, &status)) {
      if (device && !device->plugged())
        status = kIOReturnNoDevice;
      else
        status = body(call);
    }
    call.result = status;
    bus_->Record(std::move(call));
    return status;
  }
  SimCall Begin(SimOp op, UInt32 service) const {
    SimCall c{};
    c.op = op;
    c.service = service;
    return c;
  }
  std::shared_ptr<SimBus> bus_;
};

class SimUSBDevice : public USBDevice, Counted {
 public:
  SimUSBDevice(std::shared_ptr<SimBus> bus, std::shared_ptr<SimDevice> device)
      : Counted(std::move(bus)), device_(std::move(device)) {}
  ~SimUSBDevice() override {
    if (open_) device_->deviceOpen = false;
  }
  IOReturn Open() override {
    return Call(Begin(SimOp::DeviceOpen, id()), device_.get(), [&](SimCall&) {
      if (open_ || device_->deviceOpen) return kIOReturnExclusiveAccess;
      open_ = device_->deviceOpen = true;
      return kIOReturnSuccess;
    });
  }
  IOReturn Close() override {
    // Closing always lets go, even when the call reports a failure.
    bool wasOpen = open_;
    if (open_) open_ = device_->deviceOpen = false;
    return Call(Begin(SimOp::DeviceClose, id()), device_.get(),
                [&](SimCall&) { return wasOpen ? kIOReturnSuccess : kIOReturnNotOpen; });
  }
  IOReturn GetVendor(UInt16* out) override {
    return Call(Begin(SimOp::GetVendor, id()), device_.get(), [&](SimCall&) {
      *out = device_->description().vendorID;
      return kIOReturnSuccess;
    });
  }
  IOReturn GetProduct(UInt16* out) override {
    return Call(Begin(SimOp::GetProduct, id()), device_.get(), [&](SimCall&) {
      *out = device_->description().productID;
      return kIOReturnSuccess;
    });
  }
  IOReturn GetLocationID(UInt32* out) override {
    return Call(Begin(SimOp::GetLocationID, id()), device_.get(), [&](SimCall&) {
      *out = device_->description().locationID;
      return kIOReturnSuccess;
    });
  }

 private:
  UInt32 id() const { return device_->deviceServiceID; }
  std::shared_ptr<SimDevice> device_;
  bool open_ = false;
};

class SimUSBInterface : public USBInterface, Counted {
 public:
  SimUSBInterface(std::shared_ptr<SimBus> bus, std::shared_ptr<SimDevice> device, size_t index)
      : Counted(std::move(bus)), device_(std::move(device)), index_(index) {}
  ~SimUSBInterface() override {
    if (open_) device_->interfaceOpen[index_] = false;
  }

  IOReturn Open() override {
    return Call(Begin(SimOp::InterfaceOpen, id()), device_.get(), [&](SimCall&) {
      if (open_ || device_->interfaceOpen[index_]) return kIOReturnExclusiveAccess;
      open_ = true;
      device_->interfaceOpen[index_] = true;
      return kIOReturnSuccess;
    });
  }
  IOReturn Close() override {
    bool wasOpen = open_;
    if (open_) open_ = device_->interfaceOpen[index_] = false;
    return Call(Begin(SimOp::InterfaceClose, id()), device_.get(),
                [&](SimCall&) { return wasOpen ? kIOReturnSuccess : kIOReturnNotOpen; });
  }
  IOReturn GetNumEndpoints(UInt8* out) override {
    return Call(Begin(SimOp::GetNumEndpoints, id()), device_.get(), [&](SimCall&) {
      if (!open_) return kIOReturnNotOpen;
      *out = UInt8(Endpoints().size());
      return kIOReturnSuccess;
    });
  }
  IOReturn SetAlternateInterface(UInt8 setting) override {
    SimCall c = Begin(SimOp::SetAlternateInterface, id());
    c.pipe = setting;
    return Call(std::move(c), device_.get(), [&](SimCall&) {
      if (!open_) return kIOReturnNotOpen;
      if (setting >= Description().settings.size()) return kIOReturnBadArgument;
      device_->currentSetting[index_] = setting;
      return kIOReturnSuccess;
    });
  }
  IOReturn GetPipeProperties(UInt8 pipeRef, PipeProperties* out) override {
    SimCall c = Begin(SimOp::GetPipeProperties, id());
    c.pipe = pipeRef;
    return Call(std::move(c), device_.get(), [&](SimCall&) {
      if (!open_) return kIOReturnNotOpen;
      if (pipeRef == 0) {
        *out = PipeProperties{kUSBOut, 0, kUSBControl, 64, 0};
        return kIOReturnSuccess;
      }
      const SimEndpoint* e = Pipe(pipeRef);
      if (!e) return kIOReturnBadArgument;
      *out = PipeProperties{e->direction, e->number, e->transferType, e->maxPacketSize, e->interval};
      return kIOReturnSuccess;
    });
  }
  IOReturn ReadPipe(UInt8 pipeRef, void* buffer, UInt32* size, UInt32 noDataTimeoutMs,
                    UInt32 completionTimeoutMs) override {
    SimCall c = Begin(SimOp::ReadPipe, id());
    c.pipe = pipeRef;
    c.size = size ? *size : 0;
    c.noDataTimeout = noDataTimeoutMs;
    c.completionTimeout = completionTimeoutMs;
    UInt32 capacity = c.size;
    if (size) *size = 0;
    return Call(std::move(c), device_.get(), [&](SimCall& call) {
      const SimEndpoint* e = nullptr;
      IOReturn check = CheckTransfer(pipeRef, kUSBIn, &e);
      if (check != kIOReturnSuccess) return check;
      if (!buffer && capacity > 0) return kIOReturnBadArgument;
      SimReadAnswer answer;
      if (SimDeviceModel* model = device_->model()) {
        answer = model->BulkRead(e->number, capacity);
      } else {
        auto& queue = device_->reads[e->number];
        if (queue.empty()) {
          answer.status = kIOReturnTimeout;
        } else {
          answer = std::move(queue.front());
          queue.pop_front();
        }
      }
      IOReturn status = answer.status;
      if (status == kIOReturnTimeout && answer.data.empty())
        bus_->Wait(std::min({noDataTimeoutMs, completionTimeoutMs, answer.silenceMs.value_or(UINT32_MAX)}));
      UInt32 n = UInt32(std::min<size_t>(answer.data.size(), capacity));
      if (answer.data.size() > capacity && status == kIOReturnSuccess) status = kIOReturnOverrun;
      if (n > 0) std::memcpy(buffer, answer.data.data(), n);
      *size = n;
      call.data.assign(answer.data.begin(), answer.data.begin() + n);
      return status;
    });
  }
  IOReturn WritePipe(UInt8 pipeRef, const void* buffer, UInt32 size, UInt32 noDataTimeoutMs,
                     UInt32 completionTimeoutMs) override {
    SimCall c = Begin(SimOp::WritePipe, id());
    c.pipe = pipeRef;
    c.size = size;
    c.noDataTimeout = noDataTimeoutMs;
    c.completionTimeout = completionTimeoutMs;
    if (buffer && size > 0) {
      const UInt8* p = static_cast<const UInt8*>(buffer);
      c.data.assign(p, p + size);
    }
    return Call(std::move(c), device_.get(), [&](SimCall& call) {
      const SimEndpoint* e = nullptr;
      IOReturn check = CheckTransfer(pipeRef, kUSBOut, &e);
      if (check != kIOReturnSuccess) return check;
      if (!buffer && size > 0) return kIOReturnBadArgument;
      auto& sink = device_->writes[e->number];
      sink.insert(sink.end(), call.data.begin(), call.data.end());
      if (SimDeviceModel* model = device_->model()) return model->BulkWrite(e->number, call.data);
      return kIOReturnSuccess;
    });
  }
  IOReturn ControlRequest(DeviceRequest* request) override {
    SimCall c = Begin(SimOp::ControlRequest, id());
    if (request) {
      c.request = *request;
      c.request.pData = nullptr;
    }
    return Call(std::move(c), device_.get(), [&](SimCall&) {
      if (!open_) return kIOReturnNotOpen;
      if (!request || (request->wLength > 0 && !request->pData)) return kIOReturnBadArgument;
      // CLEAR_FEATURE(ENDPOINT_HALT) is the device's own business: it clears the halt.
      if (request->bmRequestType == 0x02 && request->bRequest == 0x01 && request->wValue == 0) {
        request->wLenDone = 0;
        device_->SetHalted(UInt8(request->wIndex), false);
        if (SimDeviceModel* model = device_->model()) return model->ClearHalt(UInt8(request->wIndex));
        return kIOReturnSuccess;
      }
      if (SimDeviceModel* model = device_->model()) return model->ControlRequest(request);
      request->wLenDone = 0;
      return kIOReturnSuccess;
    });
  }
  IOReturn ClearPipeStallBothEnds(UInt8 pipeRef) override {
    return PipeCall(SimOp::ClearPipeStallBothEnds, pipeRef, [&](const SimEndpoint& e) {
      UInt8 address = UInt8(e.number | (e.direction == kUSBIn ? 0x80 : 0));
      device_->SetHalted(address, false);
      if (SimDeviceModel* model = device_->model()) return model->ClearHalt(address);
      return kIOReturnSuccess;
    });
  }
  IOReturn AbortPipe(UInt8 pipeRef) override {
    return PipeCall(SimOp::AbortPipe, pipeRef, [](const SimEndpoint&) { return kIOReturnSuccess; });
  }
  IOReturn ResetPipe(UInt8 pipeRef) override {
    return PipeCall(SimOp::ResetPipe, pipeRef, [](const SimEndpoint&) { return kIOReturnSuccess; });
  }

 private:
  UInt32 id() const { return device_->interfaceServiceIDs[index_]; }
  const SimInterfaceSpec& Description() const { return device_->description().interfaces[index_]; }
  const std::vector<SimEndpoint>& Endpoints() const { return Description().settings[device_->currentSetting[index_]]; }
  const SimEndpoint* Pipe(UInt8 pipeRef) const {
    const auto& eps = Endpoints();
    if (pipeRef == 0 || pipeRef > eps.size()) return nullptr;
    return &eps[pipeRef - 1];
  }
  IOReturn CheckTransfer(UInt8 pipeRef, UInt8 direction, const SimEndpoint** out) const {
    if (!open_) return kIOReturnNotOpen;
    const SimEndpoint* e = Pipe(pipeRef);
    if (!e || e->direction != direction || (e->transferType != kUSBBulk && e->transferType != kUSBInterrupt))
      return kIOReturnBadArgument;
    UInt8 address = UInt8(e->number | (direction == kUSBIn ? 0x80 : 0));
    if (device_->halted(address)) return kIOUSBPipeStalled;
    *out = e;
    return kIOReturnSuccess;
  }
  template <typename Body>
  IOReturn PipeCall(SimOp op, UInt8 pipeRef, Body body) {
    SimCall c = Begin(op, id());
    c.pipe = pipeRef;
    return Call(std::move(c), device_.get(), [&](SimCall&) {
      if (!open_) return kIOReturnNotOpen;
      const SimEndpoint* e = Pipe(pipeRef);
      if (!e) return kIOReturnBadArgument;
      return body(*e);
    });
  }

  std::shared_ptr<SimDevice> device_;
  size_t index_;
  bool open_ = false;
};

class SimPlugIn : public PlugIn, Counted {
 public:
  SimPlugIn(std::shared_ptr<SimBus> bus, std::shared_ptr<SimDevice> device, int index, UInt32 id)
      : Counted(std::move(bus)), device_(std::move(device)), index_(index), id_(id) {}
  IOReturn QueryDevice(std::unique_ptr<USBDevice>* out) override {
    out->reset();
    IOReturn status = Call(Begin(SimOp::QueryDevice, id_), device_.get(), [&](SimCall&) {
      if (index_ >= 0) return kIOReturnUnsupported;
      out->reset(new SimUSBDevice(bus_, device_));
      return kIOReturnSuccess;
    });
    return status;
  }
  IOReturn QueryInterface(std::unique_ptr<USBInterface>* out) override {
    out->reset();
    return Call(Begin(SimOp::QueryInterface, id_), device_.get(), [&](SimCall&) {
      if (index_ < 0) return kIOReturnUnsupported;
      out->reset(new SimUSBInterface(bus_, device_, size_t(index_)));
      return kIOReturnSuccess;
    });
  }

 private:
  std::shared_ptr<SimDevice> device_;
  int index_;  // interface index, -1 for the device
  UInt32 id_;
};

class SimService : public Service, Counted {
 public:
  SimService(std::shared_ptr<SimBus> bus, std::shared_ptr<SimDevice> device, int index)
      : Counted(std::move(bus)), device_(std::move(device)), index_(index) {}
  UInt32 id() const override {
    return index_ < 0 ? device_->deviceServiceID : device_->interfaceServiceIDs[size_t(index_)];
  }
  IOReturn CreatePlugIn(std::unique_ptr<PlugIn>* out) override {
    out->reset();
    return Call(Begin(SimOp::CreatePlugIn, id()), device_.get(), [&](SimCall&) {
      out->reset(new SimPlugIn(bus_, device_, index_, id()));
      return kIOReturnSuccess;
    });
  }

 private:
  std::shared_ptr<SimDevice> device_;
  int index_;
};

class SimPort : public MasterPort, Counted {
 public:
  explicit SimPort(std::shared_ptr<SimBus> bus) : Counted(std::move(bus)) {}
  bool CreateMatching(const char* className, MatchingDictionary* out) override {
    SimCall c = Begin(SimOp::CreateMatching, 0);
    c.className = className ? className : "";
    bool made = false;
    IOReturn status = Call(std::move(c), nullptr, [&](SimCall&) {
      if (!className) return kIOReturnBadArgument;
      out->className = className;
      out->locationID = 0;
      made = true;
      return kIOReturnSuccess;
    });
    return made && status == kIOReturnSuccess;
  }
  IOReturn GetMatchingServices(const MatchingDictionary& matching, ServiceList* out) override {
    out->clear();
    SimCall c = Begin(SimOp::GetMatchingServices, 0);
    c.className = matching.className;
    c.locationID = matching.locationID;
    return Call(std::move(c), nullptr, [&](SimCall&) {
      for (const auto& device : bus_->devices()) {
        if (!device->plugged()) continue;
        if (matching.className == kDeviceClass) {
          out->emplace_back(new SimService(bus_, device, -1));
        } else if (matching.className == kInterfaceClass) {
          // Like the real bus, a location hint leaves out every other device.
          if (matching.locationID != 0 && device->description().locationID != matching.locationID) continue;
          for (size_t i = 0; i < device->description().interfaces.size(); ++i)
            out->emplace_back(new SimService(bus_, device, int(i)));
        }
      }
      return kIOReturnSuccess;
    });
  }
};

}  // namespace

IOReturn SimBus::CreateMasterPort(std::unique_ptr<MasterPort>* out) {
  out->reset();
  IOReturn status = kIOReturnSuccess;
  if (!TakeFault(SimOp::CreateMasterPort, &status)) out->reset(new SimPort(shared_from_this()));
  SimCall c{};
  c.op = SimOp::CreateMasterPort;
  c.result = status;
  Record(std::move(c));
  return status;
}

}  // namespace usb
}  // namespace tarvell
