#include "cli/Progress.h"

#include <utility>

#include "usb/DeviceFacts.h"

namespace tarvell {
namespace ica {
namespace {

using device::kImageEndpoint;

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
class MeteredBusImpl : public usb::Bus {
 public:
  MeteredBusImpl(std::shared_ptr<usb::Bus> inner, ProgressMeter* meter) : inner_(std::move(inner)), meter_(meter) {}
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

}  // namespace

std::shared_ptr<usb::Bus> MeteredBus(std::shared_ptr<usb::Bus> inner, ProgressMeter* meter) {
  return std::make_shared<MeteredBusImpl>(std::move(inner), meter);
}

}  // namespace ica
}  // namespace tarvell
