// A bus that hands out another bus's objects wrapped, so that a subclass can watch what passes:
// every level (port, service, plug-in, device, interface) forwards each call to the inner
// object, and the interface's transfers pass through hooks on the bus. Used to record captures
// and to meter a scan's progress, over any backend.
#pragma once

#include <memory>

#include "platform/usb/USB.h"

namespace tarvell {
namespace usb {

// Where an interface is, as the search that found it tells.
struct InterfacePlace {
  UInt32 service = 0;       // id of the interface service
  UInt32 locationID = 0;    // the location the search was narrowed to; 0 when it was not
  UInt8 deviceAddress = 0;  // as the service reports it; 0 when unknown
};

// One transfer as the hooks see it. Endpoints are addresses (0x80 set for IN); the default
// pipe's requests have endpoint 0 (0x80 when their data stage is IN).
struct Transfer {
  enum Kind { kRead, kWrite, kControl, kClearHalt };
  Kind kind = kRead;
  const InterfacePlace* place = nullptr;
  UInt8 endpoint = 0;
  UInt8 transferType = kUSBBulk;       // kUSBBulk / kUSBInterrupt, kUSBControl for requests
  const UInt8* data = nullptr;         // write: the bytes; read: the buffer (filled after); control: pData
  UInt32 length = 0;                   // write: bytes; read: capacity; control: wLength
  DeviceRequest setup;                 // kControl and kClearHalt (pData not used)
  IOReturn status = kIOReturnSuccess;  // after the transfer
  UInt32 done = 0;                     // after: bytes moved
};

class ForwardingBus : public Bus, public std::enable_shared_from_this<ForwardingBus> {
 public:
  // Must be owned by a std::shared_ptr: the objects handed out keep the bus alive.
  explicit ForwardingBus(std::shared_ptr<Bus> inner);
  IOReturn CreateMasterPort(std::unique_ptr<MasterPort>* out) override;
  const std::shared_ptr<Bus>& inner() const { return inner_; }

  // Hooks, called on the caller's thread. Before a transfer the fields up to `setup` are set;
  // after it also `status` and `done` (a read's bytes are then in `data`).
  virtual void BeforeTransfer(Transfer&) {}
  virtual void AfterTransfer(Transfer&) {}
  // After an interface's Open and Close, with the result.
  virtual void InterfaceOpened(const InterfacePlace&, IOReturn) {}
  virtual void InterfaceClosed(const InterfacePlace&, IOReturn) {}

 private:
  std::shared_ptr<Bus> inner_;
};

}  // namespace usb
}  // namespace tarvell
