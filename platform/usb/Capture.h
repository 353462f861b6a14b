// Recording: a bus that passes everything to another bus and writes every transfer of the run
// (bulk reads and writes, requests on the default pipe, clear-halts) to a packet capture in the
// Linux usbmon memory-mapped form, link type 220, that Wireshark, tshark and tcpdump read and
// that the replay backend (platform/usb/ReplayBus.h) plays back.
//
// - Each transfer gives a submission and a completion record: bus number (the top 8 bits of
//   the location), device number (the bus's address where it has one, else a number made from
//   the port path), endpoint with its direction, transfer type, status, lengths, the setup
//   packet of requests, OUT data on the submission and IN data on the completion.
// - When an interface is opened, the device is named in the capture the way an enumeration
//   names it: a GET_DESCRIPTOR(DEVICE) request answered with a device descriptor built from the
//   vendor and product the bus reports (this layer reads no descriptors itself).
// - The file is written as FILE.part and renamed to FILE by Finish: a run that dies midway
//   leaves no capture that looks complete, and the .part file still reads up to its last record.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/usb/ForwardingBus.h"

namespace tarvell {
namespace usb {

struct UsbmonRecord;

struct CaptureOptions {
  // Microseconds since 1970 for each record; by default the wall clock at the start plus a
  // monotonic clock since (the simulated bus passes its virtual time).
  std::function<UInt64()> clockMicros;
};

class CapturingBus : public ForwardingBus {
 public:
  // Starts recording the traffic of `inner` to `path`. Null with *error when the file cannot be
  // created.
  static std::shared_ptr<CapturingBus> Create(std::shared_ptr<Bus> inner, const std::string& path, std::string* error,
                                              CaptureOptions options = {});
  ~CapturingBus() override;

  // Ends the file and puts it in place. False with *error when it could not be written whole
  // (the .part file is then left for a look). Later transfers are no longer recorded.
  bool Finish(std::string* error);
  const std::string& path() const { return path_; }

  void BeforeTransfer(Transfer& t) override;
  void AfterTransfer(Transfer& t) override;
  void InterfaceOpened(const InterfacePlace& place, IOReturn status) override;

  CapturingBus(std::shared_ptr<Bus> inner, std::string path, CaptureOptions options);

 private:
  struct Writer;
  struct Device {
    UInt16 bus = 0;
    UInt8 number = 0;
  };
  Device DeviceOf(const InterfacePlace& place);
  void Write(const UsbmonRecord& record, UInt64 micros);
  UInt64 Now() const;

  std::string path_;
  CaptureOptions options_;
  std::unique_ptr<Writer> writer_;
  std::mutex mutex_;
  UInt64 nextURB_ = 1;
  UInt64 submittedAt_ = 0;
  bool failed_ = false;
};

}  // namespace usb
}  // namespace tarvell
