#include "platform/usb/ForwardingBus.h"

#include <map>
#include <utility>

namespace tarvell {
namespace usb {
namespace {

using BusRef = std::shared_ptr<ForwardingBus>;

class ForwardingInterface : public USBInterface {
 public:
  ForwardingInterface(std::unique_ptr<USBInterface> inner, BusRef bus, InterfacePlace place)
      : inner_(std::move(inner)), bus_(std::move(bus)), place_(place) {}
  IOReturn Open() override {
    const IOReturn s = inner_->Open();
    bus_->InterfaceOpened(place_, s);
    return s;
  }
  IOReturn Close() override {
    const IOReturn s = inner_->Close();
    bus_->InterfaceClosed(place_, s);
    return s;
  }
  IOReturn GetNumEndpoints(UInt8* out) override { return inner_->GetNumEndpoints(out); }
  IOReturn SetAlternateInterface(UInt8 setting) override {
    pipes_.clear();
    return inner_->SetAlternateInterface(setting);
  }
  IOReturn GetPipeProperties(UInt8 pipeRef, PipeProperties* out) override {
    const IOReturn s = inner_->GetPipeProperties(pipeRef, out);
    if (s == kIOReturnSuccess && out) pipes_[pipeRef] = *out;
    return s;
  }
  IOReturn ReadPipe(UInt8 pipeRef, void* buffer, UInt32* size, UInt32 noDataTimeoutMs,
                    UInt32 completionTimeoutMs) override {
    Transfer t = Begin(Transfer::kRead, pipeRef);
    t.data = static_cast<const UInt8*>(buffer);
    t.length = size ? *size : 0;
    bus_->BeforeTransfer(t);
    t.status = inner_->ReadPipe(pipeRef, buffer, size, noDataTimeoutMs, completionTimeoutMs);
    t.done = size ? *size : 0;
    bus_->AfterTransfer(t);
    return t.status;
  }
  IOReturn WritePipe(UInt8 pipeRef, const void* buffer, UInt32 size, UInt32 noDataTimeoutMs,
                     UInt32 completionTimeoutMs) override {
    Transfer t = Begin(Transfer::kWrite, pipeRef);
    t.data = static_cast<const UInt8*>(buffer);
    t.length = size;
    bus_->BeforeTransfer(t);
    t.status = inner_->WritePipe(pipeRef, buffer, size, noDataTimeoutMs, completionTimeoutMs);
    t.done = t.status == kIOReturnSuccess ? size : 0;
    bus_->AfterTransfer(t);
    return t.status;
  }
  IOReturn ControlRequest(DeviceRequest* request) override {
    if (!request) return inner_->ControlRequest(request);
    Transfer t;
    t.kind = Transfer::kControl;
    t.place = &place_;
    t.endpoint = request->bmRequestType & 0x80;
    t.transferType = kUSBControl;
    t.setup = *request;
    t.setup.pData = nullptr;
    t.data = static_cast<const UInt8*>(request->pData);
    t.length = request->wLength;
    bus_->BeforeTransfer(t);
    t.status = inner_->ControlRequest(request);
    t.done = request->wLenDone;
    bus_->AfterTransfer(t);
    return t.status;
  }
  IOReturn ClearPipeStallBothEnds(UInt8 pipeRef) override {
    Transfer t = Begin(Transfer::kClearHalt, pipeRef);
    // On the wire this is CLEAR_FEATURE(ENDPOINT_HALT) for the endpoint.
    t.setup.bmRequestType = 0x02;
    t.setup.bRequest = 0x01;
    t.setup.wIndex = t.endpoint;
    t.endpoint = 0;
    t.transferType = kUSBControl;
    bus_->BeforeTransfer(t);
    t.status = inner_->ClearPipeStallBothEnds(pipeRef);
    bus_->AfterTransfer(t);
    return t.status;
  }
  IOReturn AbortPipe(UInt8 pipeRef) override { return inner_->AbortPipe(pipeRef); }
  IOReturn ResetPipe(UInt8 pipeRef) override { return inner_->ResetPipe(pipeRef); }

 private:
  Transfer Begin(Transfer::Kind kind, UInt8 pipeRef) {
    Transfer t;
    t.kind = kind;
    t.place = &place_;
    auto it = pipes_.find(pipeRef);
    if (it == pipes_.end()) {
      // The caller did not ask (or asked before a setting changed): ask on its behalf once.
      PipeProperties p;
      if (pipeRef != 0 && inner_->GetPipeProperties(pipeRef, &p) == kIOReturnSuccess)
        it = pipes_.emplace(pipeRef, p).first;
    }
    if (it != pipes_.end()) {
      t.endpoint = UInt8(it->second.number | (it->second.direction == kUSBIn ? 0x80 : 0));
      t.transferType = it->second.transferType;
    } else {
      t.endpoint = kind == Transfer::kRead ? 0x80 : 0;
    }
    return t;
  }

  std::unique_ptr<USBInterface> inner_;
  BusRef bus_;
  InterfacePlace place_;
  std::map<UInt8, PipeProperties> pipes_;
};

class ForwardingPlugIn : public PlugIn {
 public:
  ForwardingPlugIn(std::unique_ptr<PlugIn> inner, BusRef bus, InterfacePlace place)
      : inner_(std::move(inner)), bus_(std::move(bus)), place_(place) {}
  IOReturn QueryDevice(std::unique_ptr<USBDevice>* out) override { return inner_->QueryDevice(out); }
  IOReturn QueryInterface(std::unique_ptr<USBInterface>* out) override {
    std::unique_ptr<USBInterface> inner;
    const IOReturn status = inner_->QueryInterface(&inner);
    if (out) *out = inner ? std::make_unique<ForwardingInterface>(std::move(inner), bus_, place_) : nullptr;
    return status;
  }

 private:
  std::unique_ptr<PlugIn> inner_;
  BusRef bus_;
  InterfacePlace place_;
};

class ForwardingService : public Service {
 public:
  ForwardingService(std::unique_ptr<Service> inner, BusRef bus, UInt32 locationID)
      : inner_(std::move(inner)), bus_(std::move(bus)) {
    place_.service = inner_->id();
    place_.locationID = locationID;
    place_.deviceAddress = inner_->deviceAddress();
  }
  UInt32 id() const override { return inner_->id(); }
  UInt8 deviceAddress() const override { return inner_->deviceAddress(); }
  IOReturn CreatePlugIn(std::unique_ptr<PlugIn>* out) override {
    std::unique_ptr<PlugIn> inner;
    const IOReturn status = inner_->CreatePlugIn(&inner);
    if (out) *out = inner ? std::make_unique<ForwardingPlugIn>(std::move(inner), bus_, place_) : nullptr;
    return status;
  }

 private:
  std::unique_ptr<Service> inner_;
  BusRef bus_;
  InterfacePlace place_;
};

class ForwardingPort : public MasterPort {
 public:
  ForwardingPort(std::unique_ptr<MasterPort> inner, BusRef bus) : inner_(std::move(inner)), bus_(std::move(bus)) {}
  bool CreateMatching(const char* className, MatchingDictionary* out) override {
    return inner_->CreateMatching(className, out);
  }
  IOReturn GetMatchingServices(const MatchingDictionary& matching, ServiceList* out) override {
    ServiceList inner;
    const IOReturn status = inner_->GetMatchingServices(matching, &inner);
    if (out) {
      out->clear();
      for (auto& service : inner)
        if (service) out->push_back(std::make_unique<ForwardingService>(std::move(service), bus_, matching.locationID));
    }
    return status;
  }

 private:
  std::unique_ptr<MasterPort> inner_;
  BusRef bus_;
};

}  // namespace

ForwardingBus::ForwardingBus(std::shared_ptr<Bus> inner) : inner_(std::move(inner)) {}

IOReturn ForwardingBus::CreateMasterPort(std::unique_ptr<MasterPort>* out) {
  std::unique_ptr<MasterPort> inner;
  const IOReturn status = inner_ ? inner_->CreateMasterPort(&inner) : kIOReturnNoResources;
  if (out) *out = inner ? std::make_unique<ForwardingPort>(std::move(inner), shared_from_this()) : nullptr;
  return status;
}

}  // namespace usb
}  // namespace tarvell
