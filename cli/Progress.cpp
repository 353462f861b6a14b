#include "cli/Progress.h"

#include <utility>

#include "platform/usb/ForwardingBus.h"
#include "usb/DeviceFacts.h"

namespace tarvell {
namespace ica {
namespace {

// Counts what successful reads of the image endpoint bring.
class MeteredBusImpl : public usb::ForwardingBus {
 public:
  MeteredBusImpl(std::shared_ptr<usb::Bus> inner, ProgressMeter* meter) : ForwardingBus(std::move(inner)), meter_(meter) {}
  void AfterTransfer(usb::Transfer& t) override {
    if (t.kind == usb::Transfer::kRead && t.endpoint == (0x80 | device::kImageEndpoint) &&
        t.status == kIOReturnSuccess && t.done > 0)
      meter_->Add(t.done);
  }

 private:
  ProgressMeter* meter_;
};

}  // namespace

std::shared_ptr<usb::Bus> MeteredBus(std::shared_ptr<usb::Bus> inner, ProgressMeter* meter) {
  return std::make_shared<MeteredBusImpl>(std::move(inner), meter);
}

}  // namespace ica
}  // namespace tarvell
