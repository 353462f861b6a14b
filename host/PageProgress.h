// A page's progress as it crosses the bus: the image's bytes the device delivers to the driver,
// counted out of the packets they travel in (past the image's header), against the byte count
// the header gives.
#pragma once

#include <memory>

#include "platform/system/Types.h"
#include "platform/usb/USB.h"

namespace tarvell::host {

// Told what the page holds and what has come of it.
class PageProgress {
 public:
  virtual ~PageProgress() = default;
  // The image's size in bytes, once its header has come.
  virtual void Expect(UInt64 bytes) = 0;
  // `bytes` more of it have come.
  virtual void Add(UInt64 bytes) = 0;
};

// `inner` seen through `progress`: what reads of the image endpoint bring of the image is counted.
std::shared_ptr<usb::Bus> MeteredBus(std::shared_ptr<usb::Bus> inner, PageProgress* progress);

}  // namespace tarvell::host
