// The replay backend: a capture of a scanner's USB traffic (pcap or pcapng, usbmon link types
// 189 and 220, as Wireshark or tcpdump save it on Linux, or as platform/usb/Capture.h records
// it) played as the device.
//
// - The device is found in the capture by its device descriptor (a GET_DESCRIPTOR answer with the
//   vendor and product asked for), or named with the file as FILE@BUS.DEV, since a capture of a
//   real bus holds other devices' traffic too. Only that device's transfers are played.
// - The bus offers that one device with one interface whose pipes are the bulk and interrupt
//   endpoints of the capture, in the order they first appear.
// - Reads on each endpoint get the recorded completions in order: their bytes and status.
//   Reads past the last recorded one time out, as a silent device's would.
// - Each write is compared with the next recorded submission on its endpoint; the first one
//   that differs ends the replay: divergence() then names the transfer, its frame in the
//   capture, the endpoint and the first differing byte, and the device is gone from then on.
// - Requests on the default pipe are answered from a recorded request with the same setup
//   packet where there is one; they are not compared (a capture of a real bus also holds the
//   enumeration's requests, which the driver never makes).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/usb/USB.h"

namespace tarvell {
namespace usb {

// One transfer of the replayed device: its submission and (when the capture has it) completion.
struct CapturedTransfer {
  size_t number = 0;  // 1-based among the device's transfers
  size_t frame = 0;   // frame of the submission in the capture, 1-based as Wireshark counts
  UInt8 endpoint = 0;
  UInt8 transferType = 0;  // usbmon's numbering
  bool hasSetup = false;
  UInt8 setup[8] = {};
  UInt32 submittedLength = 0;
  std::vector<UInt8> outData;
  bool completed = false;
  SInt32 status = 0;
  UInt32 doneLength = 0;
  std::vector<UInt8> inData;
  bool cut = false;  // the capture holds fewer data bytes than the transfer had
};

struct CapturedDevice {
  UInt16 bus = 0;
  UInt8 device = 0;
  UInt16 vendorID = 0;  // the identity sought (set before reading) and offered
  UInt16 productID = 0;
  std::vector<CapturedTransfer> transfers;  // in submission order
  // Bulk and interrupt endpoints in order of first appearance, with usbmon's transfer type.
  std::vector<std::pair<UInt8, UInt8>> endpoints;
};

// Reads the capture named by `source` (FILE or FILE@BUS.DEV) for the device whose identity *out
// holds. False with a message naming the file (and frame) when it is no capture, not USB, cut
// short, corrupt or holds no such device.
bool ReadCapture(const std::string& source, CapturedDevice* out, std::string* error);
// The same for capture bytes in memory; `bus` and `device` name the device, 0 to look for it.
bool ReadCaptureBytes(const UInt8* bytes, size_t size, UInt16 bus, UInt8 device, CapturedDevice* out,
                      std::string* error);

class ReplayBus : public Bus {
 public:
  // The bus for the device `vendorID`:`productID` in `source`; null with *error when the capture
  // cannot be read.
  static std::shared_ptr<ReplayBus> Open(const std::string& source, UInt16 vendorID, UInt16 productID,
                                         std::string* error);
  explicit ReplayBus(CapturedDevice device);
  ~ReplayBus() override;

  IOReturn CreateMasterPort(std::unique_ptr<MasterPort>* out) override;

  // Why the replay stopped before its end, empty while the driver follows the capture.
  std::string divergence() const;
  // Where the device is offered: the capture's bus in the top 8 bits, port 1.
  UInt32 locationID() const;
  // Recorded transfers not yet played (bulk and interrupt).
  size_t remaining() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace usb
}  // namespace tarvell
