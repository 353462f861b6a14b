#include "cli/Progress.h"

#include <utility>

#include "imaging/ImageConversion.h"
#include "platform/usb/ForwardingBus.h"
#include "usb/DeviceFacts.h"
#include "usb/USBScanProtocol.h"

namespace tarvell {
namespace ica {
namespace {

// Takes what successful reads of the image endpoint bring out of its packets, as the scan job
// does, and counts the image's bytes past its header.
class MeteredBusImpl : public usb::ForwardingBus {
 public:
  MeteredBusImpl(std::shared_ptr<usb::Bus> inner, ProgressMeter* meter)
      : ForwardingBus(std::move(inner)), meter_(meter) {
    ScanProtocolCallbacks callbacks{};
    callbacks.info = this;
    callbacks.imageData = [](const UInt8* bytes, SInt32 length, void* info) {
      static_cast<MeteredBusImpl*>(info)->Image(bytes, size_t(length));
    };
    framer_ = USBScanProtocol::initWithCallbacks(callbacks);
  }
  void AfterTransfer(usb::Transfer& t) override {
    if (t.kind == usb::Transfer::kRead && t.endpoint == (0x80 | device::kImageEndpoint) &&
        t.status == kIOReturnSuccess && t.done > 0)
      framer_->receiveData(t.data, t.done);
  }

 private:
  void Image(const UInt8* bytes, size_t count) {
    const size_t header = header_.Take(bytes, count);
    if (header_.status() != PnmHeaderStatus::kComplete) return;
    if (header > 0) meter_->Expect(header_.header().pixelBytes);
    meter_->Add(count - header);
  }

  ProgressMeter* meter_;
  std::unique_ptr<USBScanProtocol> framer_;
  PnmStreamHeader header_;
};

}  // namespace

std::shared_ptr<usb::Bus> MeteredBus(std::shared_ptr<usb::Bus> inner, ProgressMeter* meter) {
  return std::make_shared<MeteredBusImpl>(std::move(inner), meter);
}

}  // namespace ica
}  // namespace tarvell
