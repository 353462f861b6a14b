// The simulated scanner: a protocol peer for the simulated USB bus that behaves like the
// device. It reads the control packets the host writes to endpoint 2, answers the XML method
// calls of a scan job with replies on endpoint 11 (a fresh job name from "create"), and after
// "start" streams the test chart on endpoint 8 framed as begin-job, begin-page, image data,
// end-page, end-job, cut across reads the way a device cuts them. Once the stream is read the
// data pipe times out. It can be told to misbehave.
// Time: by default the bus and the scanner run on virtual time (the whole page crosses at once, a
// time-out costs no real time). With a pace they run in real time: the stream crosses at the
// pace, and a read that finds no data waits (on the bus) for the silence or the reader's time-out.
// Pacing waits happen inside BulkRead on the caller's thread; nothing here starts threads.
// It is as strict as the device: a call out of order, with another request identifier, or with
// a parameter map the device would not take gets an "exception" reply naming the fault
// (sim/DeviceRules.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/usb/SimBus.h"
#include "sim/Framing.h"
#include "sim/TestChart.h"
#include "usb/DeviceFacts.h"

class USBScanProtocol;

namespace tarvell::sim {

using tarvell::device::kImageEndpoint;
using tarvell::device::kReplyEndpoint;
using tarvell::device::kRequestEndpoint;

// Ways to misbehave; the defaults make a well-behaved device.
struct ScannerMisbehaviour {
  // Image-pipe reads after "start" that time out before the first byte of the stream.
  int timeoutsBeforeData = 0;
  // The device disappears once this many bytes of the image stream have been read (negative:
  // never). The read that reaches the mark still delivers its bytes; every later transfer of
  // the device fails with the device-gone status, and the device leaves the bus.
  int64_t goneAfterBytes = -1;
  // Methods ("create", "start", ...) answered with an "exception" reply; the call has no effect.
  std::vector<std::string> exceptionFor;
  // Methods whose reply packet is cut in two and delivered over two reads of the reply pipe.
  std::vector<std::string> splitReplyFor;
  // Methods that get no reply at all: the reply read times out.
  std::vector<std::string> noReplyFor;
  // Packets of an unknown type (0x42) mixed into the reply and image streams.
  bool unknownPackets = false;
  // The image carries this many fewer pixel bytes than its header promises.
  size_t shortImageBy = 0;
  // The image header has no line feeds, so no reader can tell where the pixels start.
  bool corruptHeader = false;
};

// Layouts of the simulated scanner's USB interface.
enum class K310Layout {
  kDefault,      // setting 0: bulk OUT 2, bulk IN 11, bulk IN 8
  kAltSetting1,  // setting 0 without endpoints; setting 1 with 13 endpoints including 2, 11, 8
  kNoImagePipe,  // setting 0: bulk OUT 2, bulk IN 11 (no endpoint 8)
};
// The scanner's USB device (its identity from the device facts) at `locationID`, one interface in
// `layout`.
tarvell::usb::SimDeviceSpec MakeK310(UInt32 locationID, K310Layout layout = K310Layout::kDefault);

struct SimulatedScannerOptions {
  UInt32 locationID = 0x01100000;  // bus 1, port 1
  K310Layout layout = K310Layout::kDefault;
  ScannerMisbehaviour misbehave;
  // Payload bytes of each image-data packet.
  size_t imagePacketSize = 16 * 1024;
  // Seed of the cuts between reads (which are otherwise arbitrary, up to the reader's capacity).
  uint32_t seed = 1;
  // Real time: the framed image stream crosses at this many bytes per second, counted from the
  // moment the device accepted "start" (or, after time-outs before data, from the first read past
  // them). 0: virtual time.
  uint64_t pace = 0;
  // With a pace: how long, in milliseconds, a read that finds no data waits before it times out,
  // when shorter than the reader's time-out. Negative: the reader's time-out.
  int64_t silenceMs = -1;
};

// The highest pace the options take: 10 GB/s, far beyond any USB link.
constexpr uint64_t kMaxPace = 10000000000ull;

// One method call as the device understood it.
struct ReceivedCall {
  int requestID = 0;
  std::string objName;
  std::string method;
  bool answeredWithException = false;
};

class SimulatedScanner : public tarvell::usb::SimDeviceModel {
 public:
  // A paced scanner waits on `clock` (the real clock when null); an unpaced one ignores it.
  explicit SimulatedScanner(const SimulatedScannerOptions& options = {},
                            std::shared_ptr<tarvell::usb::SimClock> clock = nullptr);
  ~SimulatedScanner() override;
  SimulatedScanner(const SimulatedScanner&) = delete;
  SimulatedScanner& operator=(const SimulatedScanner&) = delete;

  // The bus side (SimDeviceModel).
  IOReturn BulkWrite(UInt8 endpoint, const std::vector<UInt8>& data) override;
  tarvell::usb::SimReadAnswer BulkRead(UInt8 endpoint, UInt32 capacity) override;
  IOReturn ControlRequest(tarvell::usb::DeviceRequest* request) override;
  IOReturn ClearHalt(UInt8 endpointAddress) override;

  // Lets the device leave `device` when it goes away (set by InstallSimulatedScanner).
  void AttachTo(std::weak_ptr<tarvell::usb::SimDevice> device) { device_ = std::move(device); }

  // What happened so far, for tests.
  const std::vector<ReceivedCall>& calls() const { return calls_; }
  // The chart request of the last "start" that streamed an image.
  const ChartRequest& lastRequest() const { return lastRequest_; }
  // The PNM stream of the last image (as sent: shortened or corrupted when told so).
  const std::vector<uint8_t>& lastImage() const { return stream_.pnm(); }
  // Bytes of the framed image stream still unread.
  size_t pendingImageBytes() const { return size_t(stream_.size() - streamPos_); }
  // Safe to read from any thread while a scan runs: bytes of the framed image stream delivered
  // since the last "start", and the size of that stream (0 before the first "start").
  int64_t streamedBytes() const { return streamedBytes_.load(); }
  int64_t streamSize() const { return streamSize_.load(); }
  // Safe to read from any thread: the jobs that have had their "done" call.
  int jobsDone() const { return jobsDone_.load(); }
  bool inHostSendMode() const { return hostSendMode_; }
  bool gone() const { return gone_; }
  // Job objects that exist on the device (created and not yet done).
  std::vector<std::string> jobs() const;
  const SimulatedScannerOptions& options() const { return options_; }
  ScannerMisbehaviour& misbehave() { return options_.misbehave; }

 private:
  struct Job {
    ChartRequest request;
    std::string problem;  // why the parameters cannot be scanned, empty when they can
  };

  static void OnControlData(const UInt8* bytes, SInt32 length, void* info);
  void HandleMessage(const std::string& text);
  // Replies: a response with `result` text (or the integer 0 when empty), or an exception.
  void QueueResponse(const std::string& method, int requestID, const std::string& result, bool integerResult);
  void QueueException(const std::string& method, int requestID, const std::string& message);
  void QueueReplyText(const std::string& method, const std::string& xml);
  void StartStreaming(const Job& job);
  bool Listed(const std::vector<std::string>& list, const std::string& method) const;
  void GoAway();
  UInt32 NextCut(UInt32 capacity, size_t available);
  // A time-out without data; it lasts the silence when paced and told one.
  tarvell::usb::SimReadAnswer NoData() const;
  // With a pace: how much of `cut` has crossed by now, after waiting for the read's share.
  UInt32 PacedShare(UInt32 cut);
  uint64_t CrossedBy(uint64_t micros) const;
  uint64_t TimeWhenCrossed(uint64_t bytes) const;

  SimulatedScannerOptions options_;
  std::unique_ptr<USBScanProtocol> requestFramer_;
  std::weak_ptr<tarvell::usb::SimDevice> device_;
  std::deque<std::vector<UInt8>> replyReads_;  // each entry is what one read of endpoint 11 gets
  FramedImage stream_;                         // the framed image stream of the last "start", with its PNM
  uint64_t streamPos_ = 0;                     // where the next read goes on; the size once read or dropped
  std::atomic<int64_t> streamedBytes_{0};
  std::atomic<int> jobsDone_{0};
  std::atomic<int64_t> streamSize_{0};
  std::shared_ptr<tarvell::usb::SimClock> clock_;
  bool paceStarted_ = false;
  uint64_t paceStartMicros_ = 0;
  int timeoutsLeft_ = 0;
  bool hostSendMode_ = false;
  bool gone_ = false;
  int jobCounter_ = 0;
  std::map<std::string, Job> jobs_;
  // Where the conversation stands: the five calls come in their order, one job per host mode.
  enum class Phase { kIdle, kHostMode, kJobCreated, kJobStarted, kJobDone };
  Phase phase_ = Phase::kIdle;
  std::string currentJob_;
  int conversationID_ = -1;         // the request identifier every call of the job carries
  std::string hostModeParameters_;  // the map of "enterHostUSBSendMode", as DeviceRules writes it
  std::vector<ReceivedCall> calls_;
  ChartRequest lastRequest_;
  uint32_t random_;
};

// One item of the simulated scanner's options: its name, the form of its value (null for a
// flag) and what it does. The one list of them, for the parser, the help and the manuals.
struct SimulatedScannerItem {
  const char* name;
  const char* value;
  const char* help;
};
const std::vector<SimulatedScannerItem>& SimulatedScannerItems();
// "name=VALUE, flag, ..." for every item, as a help text lists them.
std::string SimulatedScannerItemList();

// Reads the simulated scanner's options, in the words of tarvell.conf's "simulate" line and of
// the command line's --sim-fault, items (SimulatedScannerItems) separated by spaces or commas.
// Bare words after a method list go on with it. Items update *out; on the first one that is not
// understood returns false with the item in *badItem and what is wrong in *why, *out unchanged.
bool ParseSimulatedScannerOptions(const std::string& text, SimulatedScannerOptions* out, std::string* badItem,
                                  std::string* why);

// Plugs a simulated K310 at options.locationID on `bus`, served by a SimulatedScanner built
// from `options`. The device keeps the model alive; the returned pointer lets tests watch it
// and change its misbehaviour between jobs. A paced scanner puts the bus on its clock (`clock`,
// the real clock when null), so that both wait on the same time.
std::shared_ptr<SimulatedScanner> InstallSimulatedScanner(tarvell::usb::SimBus& bus,
                                                          const SimulatedScannerOptions& options = {},
                                                          std::shared_ptr<tarvell::usb::SimClock> clock = nullptr);

}  // namespace tarvell::sim
