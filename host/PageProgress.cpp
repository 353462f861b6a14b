#include "host/PageProgress.h"

#include <utility>

#include "imaging/ImageConversion.h"
#include "platform/usb/ForwardingBus.h"
#include "usb/DeviceFacts.h"
#include "usb/USBScanProtocol.h"

namespace tarvell::host {
namespace {

// Takes what successful reads of the image endpoint bring out of their packets, as the scan job
// does, and counts the image's bytes past its header.
class MeteredBusImpl : public usb::ForwardingBus {
 public:
  MeteredBusImpl(std::shared_ptr<usb::Bus> inner, PageProgress* progress)
      : ForwardingBus(std::move(inner)), progress_(progress) {
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
    if (header > 0) progress_->Expect(header_.header().pixelBytes);
    progress_->Add(count - header);
  }

  PageProgress* progress_;
  std::unique_ptr<USBScanProtocol> framer_;
  PnmStreamHeader header_;
};

}  // namespace

std::shared_ptr<usb::Bus> MeteredBus(std::shared_ptr<usb::Bus> inner, PageProgress* progress) {
  return std::make_shared<MeteredBusImpl>(std::move(inner), progress);
}

}  // namespace tarvell::host
