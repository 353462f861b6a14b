// The USB access layer: the registry search and the device and interface objects the scanner
// driver works with. One abstract bus with two backends: libusb-1.0 for real devices
// (platform/usb/LibusbBus.h) and an in-memory bus for tests and the demo (platform/usb/SimBus.h).
//
// The shape follows the registry the driver was written for: a master port, a matching
// dictionary by class, an iterator of services, a plug-in per service, and a device or interface
// object obtained from the plug-in. Each step can fail on its own, and the driver logs each
// failure with its own line, so each step is a call of its own here.
//
// Ownership: every object is handed out as a std::unique_ptr; destroying it is "releasing" it.
// Releasing an open device or interface closes it first. Objects stay valid (and answer with
// kIOReturnNoDevice) when their device is unplugged.
//
// All calls block the calling thread; nothing here starts threads or keeps callbacks.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/system/Types.h"

// I/O status values. 0 is success; every failure is a distinct non-zero value.
constexpr IOReturn kIOReturnSuccess = 0;
constexpr IOReturn kIOReturnError = IOReturn(0xE00002BC);            // general failure
constexpr IOReturn kIOReturnNoMemory = IOReturn(0xE00002BD);         // allocation failed
constexpr IOReturn kIOReturnNoResources = IOReturn(0xE00002BE);      // no master port / context
constexpr IOReturn kIOReturnNoDevice = IOReturn(0xE00002C0);         // the device is gone
constexpr IOReturn kIOReturnBadArgument = IOReturn(0xE00002C2);      // bad pipe index, size...
constexpr IOReturn kIOReturnExclusiveAccess = IOReturn(0xE00002C5);  // opened by someone else
constexpr IOReturn kIOReturnUnsupported = IOReturn(0xE00002C7);      // not offered by the object
constexpr IOReturn kIOReturnNotOpen = IOReturn(0xE00002CD);          // needs Open() first
constexpr IOReturn kIOReturnNotPermitted = IOReturn(0xE00002E2);     // the system refused access
constexpr IOReturn kIOReturnTimeout = IOReturn(0xE00002D6);          // a transfer timed out
constexpr IOReturn kIOReturnOverrun = IOReturn(0xE00002E8);          // device sent more than asked
constexpr IOReturn kIOReturnAborted = IOReturn(0xE00002EB);          // transfer was cancelled
constexpr IOReturn kIOUSBPipeStalled = IOReturn(0xE000404F);         // endpoint halted

namespace tarvell {
namespace usb {

// Service classes of the registry.
constexpr const char kDeviceClass[] = "IOUSBDevice";
constexpr const char kInterfaceClass[] = "IOUSBInterface";

// Pipe property values, as GetPipeProperties reports them.
enum : UInt8 { kUSBOut = 0, kUSBIn = 1 };
enum : UInt8 { kUSBControl = 0, kUSBIsoc = 1, kUSBBulk = 2, kUSBInterrupt = 3 };

// A request on the default control pipe (setup packet plus data stage).
struct DeviceRequest {
  UInt8 bmRequestType = 0;
  UInt8 bRequest = 0;
  UInt16 wValue = 0;
  UInt16 wIndex = 0;
  UInt16 wLength = 0;
  void* pData = nullptr;  // wLength bytes, read or written as bmRequestType's bit 7 says
  UInt32 wLenDone = 0;    // out: bytes moved in the data stage
};

// What a pipe is. Pipe index 0 is the default control pipe; 1..N are the endpoints of the
// interface's current alternate setting, in descriptor order.
struct PipeProperties {
  UInt8 direction = 0;     // kUSBOut / kUSBIn
  UInt8 number = 0;        // endpoint number, 0..15
  UInt8 transferType = 0;  // kUSBControl / kUSBIsoc / kUSBBulk / kUSBInterrupt
  UInt16 maxPacketSize = 0;
  UInt8 interval = 0;
};

// A selection of services. The registry matches on `className` and on the identity asked for
// (`vendorID` and `productID`; 0 for any). `locationID`, when not 0, is a hint that lets a backend
// leave out what is certainly not wanted: the buses then offer only the interfaces of the device
// at that location. A search for interfaces on a real bus must name the device (the libusb
// backend offers none otherwise: it must never hand out, say, a keyboard's), and with
// `bulkOutEndpoint` only the device's interfaces that carry that bulk OUT endpoint, when any does.
struct MatchingDictionary {
  std::string className;
  UInt32 locationID = 0;
  UInt16 vendorID = 0;
  UInt16 productID = 0;
  UInt8 bulkOutEndpoint = 0;
};

// An opened USB device (identity checks only: the driver opens it, reads its identity, closes it).
class USBDevice {
 public:
  virtual ~USBDevice() = default;
  // Opens the device for the caller. 0, kIOReturnExclusiveAccess when already open elsewhere,
  // kIOReturnNoDevice when gone, kIOReturnNotPermitted when the system refuses.
  virtual IOReturn Open() = 0;
  // Closes it again; kIOReturnNotOpen when it was not open.
  virtual IOReturn Close() = 0;
  // Identity and place; need no Open. 0 and the value, or a failure with *out untouched.
  virtual IOReturn GetVendor(UInt16* out) = 0;
  virtual IOReturn GetProduct(UInt16* out) = 0;
  // Location identifier: bus number in the top 8 bits, then the port path as 4-bit nibbles
  // (bus 1, ports 4.1 is 0x01410000).
  virtual IOReturn GetLocationID(UInt32* out) = 0;
};

// An interface of a USB device with its pipes. Every call but Open needs the interface open
// (else kIOReturnNotOpen); every call returns kIOReturnNoDevice once the device is gone.
class USBInterface {
 public:
  virtual ~USBInterface() = default;
  // Claims the interface for the caller. 0, kIOReturnExclusiveAccess when someone else holds it,
  // kIOReturnNotPermitted when the system refuses.
  virtual IOReturn Open() = 0;
  // Gives the interface back. kIOReturnNotOpen when it was not open.
  virtual IOReturn Close() = 0;
  // Number of endpoints of the current alternate setting (pipes 1..N).
  virtual IOReturn GetNumEndpoints(UInt8* out) = 0;
  // Selects an alternate setting; kIOReturnBadArgument when the interface has no such setting.
  virtual IOReturn SetAlternateInterface(UInt8 setting) = 0;
  // Properties of pipe `pipeRef` (0 = default control pipe). kIOReturnBadArgument when there is
  // no such pipe in the current setting.
  virtual IOReturn GetPipeProperties(UInt8 pipeRef, PipeProperties* out) = 0;
  // One bulk IN transfer. On entry *size is the capacity of `buffer`; on return the number of
  // bytes received (also on failure: bytes that arrived are never dropped). The transfer ends
  // with a short packet or a full buffer. It fails with kIOReturnTimeout when no data came for
  // `noDataTimeoutMs` or when `completionTimeoutMs` passed with nothing received; a transfer
  // that received bytes and then ran into a time-out returns 0 with those bytes.
  virtual IOReturn ReadPipe(UInt8 pipeRef, void* buffer, UInt32* size, UInt32 noDataTimeoutMs,
                            UInt32 completionTimeoutMs) = 0;
  // One bulk OUT transfer of `size` bytes, with the same time-outs as ReadPipe.
  virtual IOReturn WritePipe(UInt8 pipeRef, const void* buffer, UInt32 size, UInt32 noDataTimeoutMs,
                             UInt32 completionTimeoutMs) = 0;
  // A request on the device's default control pipe.
  virtual IOReturn ControlRequest(DeviceRequest* request) = 0;
  // Clears a halt of the pipe on the host side and on the device (CLEAR_FEATURE(ENDPOINT_HALT)).
  virtual IOReturn ClearPipeStallBothEnds(UInt8 pipeRef) = 0;
  // Cancels what is pending on the pipe.
  virtual IOReturn AbortPipe(UInt8 pipeRef) = 0;
  // Resets the pipe's host-side state (data toggle, halt).
  virtual IOReturn ResetPipe(UInt8 pipeRef) = 0;
};

// What a service yields before it gives a device or interface object.
class PlugIn {
 public:
  virtual ~PlugIn() = default;
  // The device object of a device service. 0 with *out set; a failure, or 0 with *out null
  // (callers check both). kIOReturnUnsupported on an interface service.
  virtual IOReturn QueryDevice(std::unique_ptr<USBDevice>* out) = 0;
  // The interface object of an interface service; as QueryDevice.
  virtual IOReturn QueryInterface(std::unique_ptr<USBInterface>* out) = 0;
};

// One entry of the registry: a device or one of its interfaces.
class Service {
 public:
  virtual ~Service() = default;
  // A number naming the service in log lines; unique on its bus while the bus lives.
  virtual UInt32 id() const = 0;
  // The device's address on its bus (1..127), 0 when the backend has none.
  virtual UInt8 deviceAddress() const { return 0; }
  // Creates the plug-in for the service. 0 with *out set; a failure, or 0 with *out null.
  virtual IOReturn CreatePlugIn(std::unique_ptr<PlugIn>* out) = 0;
};

using ServiceList = std::vector<std::unique_ptr<Service>>;

// A session with the registry (the master port).
class MasterPort {
 public:
  virtual ~MasterPort() = default;
  // Fills a matching dictionary for `className` (any location). False when none can be made.
  // Optional; the default fills it for any class name given.
  virtual bool CreateMatching(const char* className, MatchingDictionary* out);
  // The services matching `matching`, in registry order (devices in bus order, a device's
  // interfaces in descriptor order). 0, or a failure with *out empty.
  virtual IOReturn GetMatchingServices(const MatchingDictionary& matching, ServiceList* out) = 0;
};

// A bus backend.
class Bus {
 public:
  virtual ~Bus() = default;
  // Opens a registry session. Called at the start of every search. 0 with *out set, or a failure.
  virtual IOReturn CreateMasterPort(std::unique_ptr<MasterPort>* out) = 0;
};

// The bus everything uses. The host sets it once at start-up (tests set their own). Without one,
// ActiveBus() is a bus that offers nothing: CreateMasterPort fails with kIOReturnNoResources.
void SetActiveBus(std::shared_ptr<Bus> bus);
std::shared_ptr<Bus> ActiveBus();

// Text for a status (for messages to people), e.g. "device gone (0xe00002c0)".
std::string StatusText(IOReturn status);

}  // namespace usb
}  // namespace tarvell
