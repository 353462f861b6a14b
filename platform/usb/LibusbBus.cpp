#include "platform/usb/LibusbBus.h"

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "platform/system/Log.h"

namespace tarvell {
namespace usb {

IOReturn StatusFromLibusb(int error) {
  switch (error) {
    case LIBUSB_SUCCESS: return kIOReturnSuccess;
    case LIBUSB_ERROR_NO_DEVICE: return kIOReturnNoDevice;
    case LIBUSB_ERROR_TIMEOUT: return kIOReturnTimeout;
    case LIBUSB_ERROR_PIPE: return kIOUSBPipeStalled;
    case LIBUSB_ERROR_OVERFLOW: return kIOReturnOverrun;
    case LIBUSB_ERROR_ACCESS: return kIOReturnNotPermitted;
    case LIBUSB_ERROR_BUSY: return kIOReturnExclusiveAccess;
    case LIBUSB_ERROR_INVALID_PARAM: return kIOReturnBadArgument;
    case LIBUSB_ERROR_NOT_FOUND: return kIOReturnBadArgument;
    case LIBUSB_ERROR_NO_MEM: return kIOReturnNoMemory;
    case LIBUSB_ERROR_NOT_SUPPORTED: return kIOReturnUnsupported;
    case LIBUSB_ERROR_INTERRUPTED: return kIOReturnAborted;
    case LIBUSB_ERROR_IO: return kIOReturnError;
    default:
      // Worth a note: a code this layer was not written for.
      if (error != LIBUSB_ERROR_OTHER)
        BridgeNSLog(" > usb: unexpected libusb status %d (%s)\n", error, libusb_error_name(error));
      return kIOReturnError;
  }
}

namespace {

// Requests on the default pipe have no time-outs of their own in this layer.
constexpr unsigned kControlTimeoutMs = 5000;

using Context = std::shared_ptr<libusb_context>;

UInt32 LocationOf(libusb_device* dev) {
  UInt8 ports[7] = {};
  int n = libusb_get_port_numbers(dev, ports, sizeof ports);
  UInt32 location = UInt32(libusb_get_bus_number(dev)) << 24;
  for (int i = 0; i < n && i < 6; ++i) location |= UInt32(ports[i] & 0x0F) << (20 - 4 * i);
  return location;
}

// Whether `dev` is of the identity `matching` asks for.
bool Matches(libusb_device* dev, const MatchingDictionary& matching) {
  libusb_device_descriptor d{};
  return libusb_get_device_descriptor(dev, &d) == 0 && (matching.vendorID == 0 || d.idVendor == matching.vendorID) &&
         (matching.productID == 0 || d.idProduct == matching.productID);
}

// A libusb device reference held for as long as an object needs it.
class DeviceRef {
 public:
  DeviceRef(Context ctx, libusb_device* dev) : ctx_(std::move(ctx)), dev_(libusb_ref_device(dev)) {}
  ~DeviceRef() { libusb_unref_device(dev_); }
  DeviceRef(const DeviceRef&) = delete;
  DeviceRef& operator=(const DeviceRef&) = delete;
  libusb_device* get() const { return dev_; }
  const Context& context() const { return ctx_; }

 private:
  Context ctx_;  // keeps libusb alive while the device is referenced
  libusb_device* dev_;
};
using Dev = std::shared_ptr<DeviceRef>;

UInt32 ServiceID(libusb_device* dev, int interfaceNumber) {
  UInt32 id = (UInt32(libusb_get_bus_number(dev)) << 16) | (UInt32(libusb_get_device_address(dev)) << 8);
  return interfaceNumber < 0 ? id : id | 0x80 | UInt32(interfaceNumber & 0x7F);
}

class LibusbDevice : public USBDevice {
 public:
  explicit LibusbDevice(Dev dev) : dev_(std::move(dev)) {}
  ~LibusbDevice() override {
    if (handle_) libusb_close(handle_);
  }
  IOReturn Open() override {
    if (handle_) return kIOReturnExclusiveAccess;
    return StatusFromLibusb(libusb_open(dev_->get(), &handle_));
  }
  IOReturn Close() override {
    if (!handle_) return kIOReturnNotOpen;
    libusb_close(handle_);
    handle_ = nullptr;
    return kIOReturnSuccess;
  }
  IOReturn GetVendor(UInt16* out) override {
    libusb_device_descriptor d{};
    int r = libusb_get_device_descriptor(dev_->get(), &d);
    if (r == 0) *out = d.idVendor;
    return StatusFromLibusb(r);
  }
  IOReturn GetProduct(UInt16* out) override {
    libusb_device_descriptor d{};
    int r = libusb_get_device_descriptor(dev_->get(), &d);
    if (r == 0) *out = d.idProduct;
    return StatusFromLibusb(r);
  }
  IOReturn GetLocationID(UInt32* out) override {
    *out = LocationOf(dev_->get());
    return kIOReturnSuccess;
  }

 private:
  Dev dev_;
  libusb_device_handle* handle_ = nullptr;
};

class LibusbInterface : public USBInterface {
 public:
  LibusbInterface(Dev dev, int number) : dev_(std::move(dev)), number_(number) {}
  ~LibusbInterface() override { Close(); }

  IOReturn Open() override {
    if (handle_) return kIOReturnExclusiveAccess;
    int r = libusb_get_active_config_descriptor(dev_->get(), &config_);
    if (r != 0) return StatusFromLibusb(r);
    r = libusb_open(dev_->get(), &handle_);
    if (r == 0) {
      // A kernel driver on the interface (usblp and the like) is moved aside while we hold it.
      libusb_set_auto_detach_kernel_driver(handle_, 1);
      r = libusb_claim_interface(handle_, number_);
    }
    if (r != 0) {
      Drop();
      return StatusFromLibusb(r);
    }
    setting_ = 0;
    return kIOReturnSuccess;
  }
  IOReturn Close() override {
    if (!handle_) return kIOReturnNotOpen;
    libusb_release_interface(handle_, number_);
    Drop();
    return kIOReturnSuccess;
  }
  IOReturn GetNumEndpoints(UInt8* out) override {
    const libusb_interface_descriptor* d = nullptr;
    IOReturn s = Setting(&d);
    if (s == kIOReturnSuccess) *out = d->bNumEndpoints;
    return s;
  }
  IOReturn SetAlternateInterface(UInt8 setting) override {
    if (!handle_) return kIOReturnNotOpen;
    int r = libusb_set_interface_alt_setting(handle_, number_, setting);
    if (r == 0) setting_ = setting;
    return StatusFromLibusb(r);
  }
  IOReturn GetPipeProperties(UInt8 pipeRef, PipeProperties* out) override {
    if (!handle_) return kIOReturnNotOpen;
    if (pipeRef == 0) {
      libusb_device_descriptor dd{};
      int r = libusb_get_device_descriptor(dev_->get(), &dd);
      if (r != 0) return StatusFromLibusb(r);
      *out = PipeProperties{kUSBOut, 0, kUSBControl, dd.bMaxPacketSize0, 0};
      return kIOReturnSuccess;
    }
    const libusb_endpoint_descriptor* e = nullptr;
    IOReturn s = Endpoint(pipeRef, &e);
    if (s != kIOReturnSuccess) return s;
    out->direction = (e->bEndpointAddress & LIBUSB_ENDPOINT_IN) ? kUSBIn : kUSBOut;
    out->number = e->bEndpointAddress & 0x0F;
    out->transferType = e->bmAttributes & 0x03;
    out->maxPacketSize = e->wMaxPacketSize & 0x07FF;
    out->interval = e->bInterval;
    return kIOReturnSuccess;
  }
  IOReturn ReadPipe(UInt8 pipeRef, void* buffer, UInt32* size, UInt32 noDataTimeoutMs,
                    UInt32 completionTimeoutMs) override {
    UInt32 capacity = *size;
    *size = 0;
    return Transfer(pipeRef, LIBUSB_ENDPOINT_IN, static_cast<UInt8*>(buffer), capacity, size, noDataTimeoutMs,
                    completionTimeoutMs);
  }
  IOReturn WritePipe(UInt8 pipeRef, const void* buffer, UInt32 size, UInt32 noDataTimeoutMs,
                     UInt32 completionTimeoutMs) override {
    UInt32 done = 0;
    // libusb takes a non-const buffer for both directions; an OUT transfer only reads it.
    return Transfer(pipeRef, LIBUSB_ENDPOINT_OUT, static_cast<UInt8*>(const_cast<void*>(buffer)), size, &done,
                    noDataTimeoutMs, completionTimeoutMs);
  }
  IOReturn ControlRequest(DeviceRequest* request) override {
    if (!handle_) return kIOReturnNotOpen;
    if (!request || (request->wLength > 0 && !request->pData)) return kIOReturnBadArgument;
    int r =
        libusb_control_transfer(handle_, request->bmRequestType, request->bRequest, request->wValue, request->wIndex,
                                static_cast<unsigned char*>(request->pData), request->wLength, kControlTimeoutMs);
    if (r < 0) return StatusFromLibusb(r);
    request->wLenDone = UInt32(r);
    return kIOReturnSuccess;
  }
  IOReturn ClearPipeStallBothEnds(UInt8 pipeRef) override {
    UInt8 address = 0;
    IOReturn s = Address(pipeRef, &address);
    if (s != kIOReturnSuccess) return s;
    // libusb clears the device's halt and the host's toggle in one go.
    return StatusFromLibusb(libusb_clear_halt(handle_, address));
  }
  IOReturn AbortPipe(UInt8 pipeRef) override {
    UInt8 address = 0;
    // Transfers here are synchronous: when this runs, nothing is pending on the pipe.
    return Address(pipeRef, &address);
  }
  IOReturn ResetPipe(UInt8 pipeRef) override {
    UInt8 address = 0;
    IOReturn s = Address(pipeRef, &address);
    if (s != kIOReturnSuccess) return s;
    // libusb has no host-only reset; clearing the halt resets the toggle on both ends.
    return StatusFromLibusb(libusb_clear_halt(handle_, address));
  }

 private:
  void Drop() {
    if (handle_) libusb_close(handle_);
    handle_ = nullptr;
    if (config_) libusb_free_config_descriptor(config_);
    config_ = nullptr;
  }
  IOReturn Setting(const libusb_interface_descriptor** out) const {
    if (!handle_) return kIOReturnNotOpen;
    for (int i = 0; i < config_->bNumInterfaces; ++i) {
      const libusb_interface& itf = config_->interface[i];
      for (int a = 0; a < itf.num_altsetting; ++a) {
        const libusb_interface_descriptor& d = itf.altsetting[a];
        if (d.bInterfaceNumber == number_ && d.bAlternateSetting == setting_) {
          *out = &d;
          return kIOReturnSuccess;
        }
      }
    }
    return kIOReturnBadArgument;
  }
  IOReturn Endpoint(UInt8 pipeRef, const libusb_endpoint_descriptor** out) const {
    const libusb_interface_descriptor* d = nullptr;
    IOReturn s = Setting(&d);
    if (s != kIOReturnSuccess) return s;
    if (pipeRef == 0 || pipeRef > d->bNumEndpoints) return kIOReturnBadArgument;
    *out = &d->endpoint[pipeRef - 1];
    return kIOReturnSuccess;
  }
  IOReturn Address(UInt8 pipeRef, UInt8* address) const {
    const libusb_endpoint_descriptor* e = nullptr;
    IOReturn s = Endpoint(pipeRef, &e);
    if (s == kIOReturnSuccess) *address = e->bEndpointAddress;
    return s;
  }

  // One bulk (or interrupt) transfer with both time-outs. libusb knows one time-out per
  // transfer, so the transfer runs in slices of at most the no-data time-out, capped by what is
  // left of the completion time-out: a slice that ends in a time-out after moving bytes is
  // followed by another for the rest (data was still flowing); one that moved nothing ends the
  // transfer. Bytes moved before a time-out count as a short, successful transfer.
  IOReturn Transfer(UInt8 pipeRef, UInt8 direction, UInt8* buffer, UInt32 length, UInt32* done, UInt32 noDataMs,
                    UInt32 completionMs) {
    const libusb_endpoint_descriptor* e = nullptr;
    IOReturn s = Endpoint(pipeRef, &e);
    if (s != kIOReturnSuccess) return s;
    if ((e->bEndpointAddress & LIBUSB_ENDPOINT_IN) != direction) return kIOReturnBadArgument;
    if (!buffer && length > 0) return kIOReturnBadArgument;
    UInt8 type = e->bmAttributes & 0x03;
    if (type != LIBUSB_TRANSFER_TYPE_BULK && type != LIBUSB_TRANSFER_TYPE_INTERRUPT) return kIOReturnBadArgument;

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(completionMs);
    *done = 0;
    for (;;) {
      unsigned slice = 0;  // 0: libusb waits without limit
      if (completionMs > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return *done > 0 ? kIOReturnSuccess : kIOReturnTimeout;
        slice = unsigned(left);
      }
      if (noDataMs > 0) slice = slice == 0 ? noDataMs : std::min(slice, unsigned(noDataMs));
      int moved = 0;
      int r =
          type == LIBUSB_TRANSFER_TYPE_BULK
              ? libusb_bulk_transfer(handle_, e->bEndpointAddress, buffer + *done, int(length - *done), &moved, slice)
              : libusb_interrupt_transfer(handle_, e->bEndpointAddress, buffer + *done, int(length - *done), &moved,
                                          slice);
      *done += UInt32(std::max(moved, 0));
      if (r == 0) return kIOReturnSuccess;
      if (r == LIBUSB_ERROR_TIMEOUT) {
        if (moved > 0 && *done < length) continue;
        return *done > 0 ? kIOReturnSuccess : kIOReturnTimeout;
      }
      return StatusFromLibusb(r);
    }
  }

  Dev dev_;
  int number_;
  libusb_device_handle* handle_ = nullptr;
  libusb_config_descriptor* config_ = nullptr;
  UInt8 setting_ = 0;
};

class LibusbPlugIn : public PlugIn {
 public:
  LibusbPlugIn(Dev dev, int interfaceNumber) : dev_(std::move(dev)), number_(interfaceNumber) {}
  IOReturn QueryDevice(std::unique_ptr<USBDevice>* out) override {
    out->reset();
    if (number_ >= 0) return kIOReturnUnsupported;
    out->reset(new LibusbDevice(dev_));
    return kIOReturnSuccess;
  }
  IOReturn QueryInterface(std::unique_ptr<USBInterface>* out) override {
    out->reset();
    if (number_ < 0) return kIOReturnUnsupported;
    out->reset(new LibusbInterface(dev_, number_));
    return kIOReturnSuccess;
  }

 private:
  Dev dev_;
  int number_;
};

class LibusbService : public Service {
 public:
  LibusbService(Dev dev, int interfaceNumber)
      : dev_(std::move(dev)), number_(interfaceNumber), id_(ServiceID(dev_->get(), number_)) {}
  UInt32 id() const override { return id_; }
  UInt8 deviceAddress() const override { return libusb_get_device_address(dev_->get()); }
  IOReturn CreatePlugIn(std::unique_ptr<PlugIn>* out) override {
    out->reset(new LibusbPlugIn(dev_, number_));
    return kIOReturnSuccess;
  }

 private:
  Dev dev_;
  int number_;
  UInt32 id_;
};

// The interfaces of `dev` that carry the bulk OUT endpoint `bulkOut` (in any alternate setting);
// all of its interfaces when none does or none is asked for.
std::vector<int> InterfacesWith(libusb_device* dev, UInt8 bulkOut) {
  std::vector<int> all, own;
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(dev, &config) != 0) return all;
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    const libusb_interface& itf = config->interface[i];
    if (itf.num_altsetting < 1) continue;
    int number = itf.altsetting[0].bInterfaceNumber;
    all.push_back(number);
    bool carries = false;
    for (int a = 0; a < itf.num_altsetting; ++a)
      for (int k = 0; k < itf.altsetting[a].bNumEndpoints; ++k) {
        const libusb_endpoint_descriptor& e = itf.altsetting[a].endpoint[k];
        carries |=
            bulkOut != 0 && e.bEndpointAddress == bulkOut && (e.bmAttributes & 0x03) == LIBUSB_TRANSFER_TYPE_BULK;
      }
    if (carries) own.push_back(number);
  }
  libusb_free_config_descriptor(config);
  return own.empty() ? all : own;
}

class LibusbPort : public MasterPort {
 public:
  explicit LibusbPort(Context ctx) : ctx_(std::move(ctx)) {}
  IOReturn GetMatchingServices(const MatchingDictionary& matching, ServiceList* out) override {
    out->clear();
    bool devices = matching.className == kDeviceClass;
    if (!devices && (matching.className != kInterfaceClass || matching.vendorID == 0)) return kIOReturnSuccess;
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx_.get(), &list);
    if (n < 0) return StatusFromLibusb(int(n));
    for (ssize_t i = 0; i < n; ++i) {
      libusb_device* dev = list[i];
      if (!Matches(dev, matching)) continue;
      if (matching.locationID != 0 && LocationOf(dev) != matching.locationID) continue;
      auto ref = std::make_shared<DeviceRef>(ctx_, dev);
      if (devices) {
        out->emplace_back(new LibusbService(ref, -1));
      } else {
        for (int number : InterfacesWith(dev, matching.bulkOutEndpoint))
          out->emplace_back(new LibusbService(ref, number));
      }
    }
    libusb_free_device_list(list, 1);
    return kIOReturnSuccess;
  }

 private:
  Context ctx_;
};

class LibusbBus : public Bus {
 public:
  IOReturn CreateMasterPort(std::unique_ptr<MasterPort>* out) override {
    out->reset();
    libusb_context* raw = nullptr;
    int r = libusb_init(&raw);
    if (r != 0) return r == LIBUSB_ERROR_NO_MEM ? kIOReturnNoMemory : kIOReturnNoResources;
    out->reset(new LibusbPort(Context(raw, libusb_exit)));
    return kIOReturnSuccess;
  }
};

}  // namespace

std::shared_ptr<Bus> MakeLibusbBus() { return std::make_shared<LibusbBus>(); }

}  // namespace usb
}  // namespace tarvell
