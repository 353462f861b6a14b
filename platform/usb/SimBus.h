// The simulated bus: USB devices, interfaces and pipes held in memory, for tests and the demo.
//
// - Topology: AddDevice(desc) plugs a device; each device is one "IOUSBDevice" service, and each
//   of its interfaces one "IOUSBInterface" service, in the order devices were added. Matching is
//   on the class, narrowed to one device by a location hint; the identity and endpoint a search
//   names are not used: the bus holds only what a test plugs, foreign devices included, and the
//   driver's own checks of what it is offered are what the tests look at.
// - Pipes: bulk IN answers come from the device's behaviour object (SimDeviceModel), if one is
//   plugged, else from answers queued by the test (QueueRead); with neither, a read times out.
//   Bulk OUT data goes to the model, and is always recorded.
// - Time: a read that times out waits on the bus's clock for the caller's time-out (or for the
//   shorter silence its model names). The clock is virtual by default, so such a wait returns at
//   once and only advances Now(); a paced simulated scanner puts the bus on the real clock, where
//   the wait really lasts (SetClock).
// - Fault injection: FailNext(op, n, status) makes the n-th next call of `op` return `status`
//   (for CreatePlugIn/QueryDevice/QueryInterface, status 0 means "success without an object";
//   for CreateMatching any status makes it return false).
// - Call record: every call of every object is appended to Calls() with its arguments and result.
//
// One thread only, like the driver; only the clocks below may also be read from other threads.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/system/FaultInjection.h"
#include "platform/usb/USB.h"

namespace tarvell {
namespace usb {

// Operations of the layer, as recorded and as fault-injection targets.
enum class SimOp {
  CreateMasterPort,
  CreateMatching,
  GetMatchingServices,
  CreatePlugIn,
  QueryDevice,
  QueryInterface,
  DeviceOpen,
  DeviceClose,
  GetVendor,
  GetProduct,
  GetLocationID,
  InterfaceOpen,
  InterfaceClose,
  GetNumEndpoints,
  SetAlternateInterface,
  GetPipeProperties,
  ReadPipe,
  WritePipe,
  ControlRequest,
  ClearPipeStallBothEnds,
  AbortPipe,
  ResetPipe,
};
const char* SimOpName(SimOp op);

// One endpoint of an interface setting.
struct SimEndpoint {
  UInt8 direction = kUSBIn;
  UInt8 number = 0;
  UInt8 transferType = kUSBBulk;
  UInt16 maxPacketSize = 512;
  UInt8 interval = 0;
};

// One interface: its alternate settings (index = setting number), each a list of endpoints.
struct SimInterfaceSpec {
  std::vector<std::vector<SimEndpoint>> settings{{}};
};

struct SimDeviceSpec {
  UInt16 vendorID = 0;
  UInt16 productID = 0;
  UInt32 locationID = 0;
  std::vector<SimInterfaceSpec> interfaces;
};

// A bulk IN answer: a status and the bytes delivered with it.
struct SimReadAnswer {
  IOReturn status = kIOReturnSuccess;
  std::vector<UInt8> data;
  // For a time-out without data: how long the device stays silent before the bus reports it,
  // when shorter than the caller's time-out (a paced scanner's "silence"). Empty: the caller's.
  std::optional<UInt32> silenceMs = std::nullopt;
};

// Time for the simulated bus and its devices, in microseconds. Both sides wait on the same clock,
// so the bus's Now() and a device's pace agree.
class SimClock {
 public:
  virtual ~SimClock() = default;
  virtual UInt64 NowMicros() const = 0;
  // Returns once NowMicros() has reached `micros` (at once when it has).
  virtual void SleepUntil(UInt64 micros) = 0;
};

// Virtual time: starts at 0 and moves only when slept on, at once. The bus's default, and the
// fake clock of tests (safe to read from another thread).
class VirtualClock : public SimClock {
 public:
  UInt64 NowMicros() const override { return now_.load(); }
  void SleepUntil(UInt64 micros) override;

 private:
  std::atomic<UInt64> now_{0};
};

// The machine's monotonic clock; SleepUntil really sleeps.
std::shared_ptr<SimClock> RealClock();

// The behaviour of a simulated device (the simulated scanner implements it). Called on the
// caller's thread, inside the bus call; endpoints are given by number (0..15). Hooks other than
// BulkWrite and BulkRead are optional.
class SimDeviceModel {
 public:
  virtual ~SimDeviceModel() = default;
  // The host wrote `data` to OUT endpoint `endpoint`. The returned status is the transfer's.
  virtual IOReturn BulkWrite(UInt8 endpoint, const std::vector<UInt8>& data) = 0;
  // The host reads up to `capacity` bytes from IN endpoint `endpoint`. Return the status and the
  // bytes (more than `capacity` is an overrun: the host gets `capacity` bytes and
  // kIOReturnOverrun). kIOReturnTimeout means nothing came in time.
  virtual SimReadAnswer BulkRead(UInt8 endpoint, UInt32 capacity) = 0;
  // A request on the default pipe. Optional; default: accepted with no data.
  virtual IOReturn ControlRequest(DeviceRequest* request);
  // CLEAR_FEATURE(ENDPOINT_HALT) reached the device for `endpointAddress` (0x80 set for IN).
  // Optional; default: accepted.
  virtual IOReturn ClearHalt(UInt8 endpointAddress);
};

// One recorded call.
struct SimCall {
  SimOp op;
  UInt32 service = 0;  // service id of the object called (0 for the port)
  UInt8 pipe = 0;      // pipe index, alternate setting for SetAlternateInterface
  UInt32 size = 0;     // bytes asked for (read) / written (write)
  UInt32 noDataTimeout = 0;
  UInt32 completionTimeout = 0;
  DeviceRequest request;    // ControlRequest only (pData not kept)
  std::vector<UInt8> data;  // bytes written (WritePipe) or received (ReadPipe)
  IOReturn result = kIOReturnSuccess;
  std::string className;  // CreateMatching, GetMatchingServices
  UInt32 locationID = 0;  // GetMatchingServices: the dictionary's location hint
};

class SimDevice;

class SimBus : public Bus, public std::enable_shared_from_this<SimBus> {
 public:
  static std::shared_ptr<SimBus> Create();
  ~SimBus() override;

  IOReturn CreateMasterPort(std::unique_ptr<MasterPort>* out) override;

  // Plugs a device; returns it for scripting.
  std::shared_ptr<SimDevice> AddDevice(const SimDeviceSpec& desc);
  const std::vector<std::shared_ptr<SimDevice>>& devices() const { return devices_; }

  // Test hooks, as every stand-in has them (platform/system/FaultInjection.h): fails the n-th
  // next call of `op` with `status` (with kFromThenOn every later one too); each operation has its
  // own; n = 0 disarms `op`.
  void FailNext(SimOp op, int n, IOReturn status, tarvell::testing::Fails how = tarvell::testing::Fails::kOnce);
  // Forgets pending faults.
  void ClearFaults();

  // The record of every call, for tests. A host that never reads it turns it off, so that a
  // long run (a frontend scanning for hours) does not keep every transfer.
  const std::vector<SimCall>& Calls() const { return calls_; }
  std::vector<SimCall> CallsOf(SimOp op) const;
  void ClearCalls() { calls_.clear(); }
  void SetRecording(bool on) { recording_ = on; }

  // Milliseconds since the bus was made, on its clock (virtual time unless SetClock changed it).
  UInt64 Now() const;
  // Puts the bus on `clock` from now on; Now() goes on from where it was.
  void SetClock(std::shared_ptr<SimClock> clock);

  // Objects handed out and not yet released (ports, plug-ins, devices, interfaces), and interfaces
  // or devices currently open: both 0 when a caller has cleaned up after itself.
  int LiveObjects() const { return live_; }
  int OpenObjects() const;

  // Used by the simulated objects: counts a call of `op` and tells whether a fault is due.
  bool TakeFault(SimOp op, IOReturn* status);
  void Record(SimCall call) {
    if (recording_) calls_.push_back(std::move(call));
  }
  // Lets `ms` pass on the bus's clock (a time-out).
  void Wait(UInt64 ms);
  void CountLive(int delta) { live_ += delta; }

 private:
  SimBus();
  std::vector<std::shared_ptr<SimDevice>> devices_;
  std::vector<SimCall> calls_;
  bool recording_ = true;
  struct Fault {
    tarvell::testing::FaultPoint point;
    IOReturn status;
  };
  std::map<SimOp, Fault> faults_;
  std::shared_ptr<SimClock> clock_;
  UInt64 originMicros_ = 0;  // the clock's reading when Now() was 0
  int live_ = 0;
  UInt32 nextServiceID_ = 0x1000;
};

// A plugged simulated device.
class SimDevice {
 public:
  const SimDeviceSpec& description() const { return description_; }
  // Serves the device with a behaviour object (replaces queued answers as the source of reads).
  void SetModel(std::shared_ptr<SimDeviceModel> model) { model_ = std::move(model); }
  SimDeviceModel* model() const { return model_.get(); }
  // Queues an answer for the next read of IN endpoint `endpoint` (used when no model is set).
  void QueueRead(UInt8 endpoint, std::vector<UInt8> data, IOReturn status = kIOReturnSuccess);
  void QueueRead(UInt8 endpoint, const std::string& text) {
    QueueRead(endpoint, std::vector<UInt8>(text.begin(), text.end()));
  }
  // Marks an endpoint halted: transfers on it fail with kIOUSBPipeStalled until it is cleared.
  void SetHalted(UInt8 endpointAddress, bool halted);
  bool halted(UInt8 endpointAddress) const;
  // Unplugs the device: every later call on its objects returns kIOReturnNoDevice, and it is no
  // longer offered by searches.
  void Unplug() { plugged_ = false; }
  bool plugged() const { return plugged_; }
  // Bytes written to OUT endpoint `endpoint`, all writes concatenated.
  const std::vector<UInt8>& written(UInt8 endpoint) const;

  // Internal state, used by the simulated objects.
  UInt32 deviceServiceID = 0;
  std::vector<UInt32> interfaceServiceIDs;
  bool deviceOpen = false;
  std::vector<bool> interfaceOpen;
  std::vector<UInt8> currentSetting;
  std::map<UInt8, std::deque<SimReadAnswer>> reads;
  std::map<UInt8, std::vector<UInt8>> writes;
  std::map<UInt8, bool> haltedEndpoints;

  explicit SimDevice(const SimDeviceSpec& desc) : description_(desc) {}

 private:
  SimDeviceSpec description_;
  std::shared_ptr<SimDeviceModel> model_;
  bool plugged_ = true;
};

}  // namespace usb
}  // namespace tarvell
