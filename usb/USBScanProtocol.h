// Packet framing of the scanner's bulk pipes.
//
// Every transfer on the pipes is a stream of packets: an 8-byte header (type, version, two
// reserved bytes, big-endian 32-bit payload length) followed by the payload. The framer builds
// outgoing control packets and cuts the incoming stream, split any way across reads, back into
// packets, handing each to a callback chosen by its type. It knows nothing about USB or XML.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/system/Types.h"

// Packet types.
enum : UInt8 {
  kPacketBeginImageJob = 0xAA,
  kPacketBeginImagePage = 0xBB,
  kPacketControlData = 0xCC,  // XML message text, not NUL-terminated
  kPacketImageData = 0xDD,
  kPacketEndImagePage = 0xEE,
  kPacketEndImageJob = 0xFF,
};

// The header as it lies on the wire; `length` is big-endian there.
struct ScanPacketHeader {
  UInt8 packetType;
  UInt8 version;
  UInt8 reserved[2];
  UInt8 length[4];
};
static_assert(sizeof(ScanPacketHeader) == 8, "the wire header is 8 bytes");
constexpr size_t kScanPacketHeaderSize = sizeof(ScanPacketHeader);

// What the owner of a framer is told. The framer keeps its own copy. Any callback may be null;
// such packets are consumed without effect. Payload pointers are valid only during the call:
// a callback copies what it keeps. `info` is passed back unchanged.
struct ScanProtocolCallbacks {
  void* info;
  void (*beginImageJob)(void* info);
  void (*beginImagePage)(void* info);
  void (*controlData)(const UInt8* bytes, SInt32 length, void* info);
  void (*imageData)(const UInt8* bytes, SInt32 length, void* info);
  void (*endImagePage)(void* info);
  void (*endImageJob)(void* info);
};

// The framer of one scan job. Single-threaded; callbacks run inside receiveData and must not
// feed the same framer again.
//
// Cost is linear in the bytes fed, however they are split: whole packets that lie inside one
// read are handed out in place, and only the one packet that straddles reads is buffered.
class USBScanProtocol {
 public:
  // A framer with nothing buffered and a copy of `callbacks`.
  static std::unique_ptr<USBScanProtocol> initWithCallbacks(const ScanProtocolCallbacks& callbacks);
  explicit USBScanProtocol(const ScanProtocolCallbacks& callbacks);
  USBScanProtocol(const USBScanProtocol&) = delete;
  USBScanProtocol& operator=(const USBScanProtocol&) = delete;

  // Feeds received bytes. Every packet these bytes complete is dispatched, in arrival order,
  // before the call returns; the bytes of an incomplete packet are kept for the next call.
  // Packets of an unknown type are logged and skipped by their length. A payload too long to be
  // reported as a signed 32-bit length cannot be delivered either; it is logged and skipped
  // without being buffered.
  void receiveData(const UInt8* bytes, size_t count);
  void receiveData(const std::vector<UInt8>& bytes) { receiveData(bytes.data(), bytes.size()); }

  // The one encoder of the wire header: `type`, `version`, the reserved bytes 0 and `length`
  // big-endian, into `out`.
  static void EncodeHeader(UInt8 type, UInt32 length, UInt8 out[kScanPacketHeaderSize], UInt8 version = 0);
  // Appends a packet (the header, then `length` bytes of `payload`) to `out`; the length must fit
  // the 32-bit field.
  static void AppendPacket(std::vector<UInt8>& out, UInt8 type, const UInt8* payload, size_t length, UInt8 version = 0);
  // A control packet (type 0xCC, version and reserved bytes 0) carrying `payload`. Empty when
  // the payload is too long for the 32-bit length field. The framer's state is not touched.
  static std::vector<UInt8> prepControlDataToSend(const UInt8* payload, size_t count);
  static std::vector<UInt8> prepControlDataToSend(const std::string& payload) {
    return prepControlDataToSend(reinterpret_cast<const UInt8*>(payload.data()), payload.size());
  }

  // Bytes of the incomplete packet at hand (header and payload) received so far; 0 between
  // whole packets.
  size_t pendingPacketBytes() const;

  // Invoke the corresponding callback, if set.
  void doBeginImageJobCallback();
  void doBeginImagePageCallback();
  void doEndImagePageCallback();
  void doEndImageJobCallback();
  void doControlDataCallbackWithData(const UInt8* bytes, SInt32 length);
  void doImageDataCallbackWithData(const UInt8* bytes, SInt32 length);

 private:
  enum class State { Header, Payload, Skip };
  enum class Action { Deliver, Signal, Skip };  // payload callback, empty callback, nothing

  // What to do with the packet behind `header`; logs the packets it drops.
  static Action classify(const UInt8* header);
  // Starts the straddling packet whose header is complete in `header`.
  void beginPacket(const UInt8* header);
  // Hands out the straddling packet once its last byte has arrived.
  void finishPacket();
  // Dispatches a packet whose payload is at hand (in place or buffered).
  void dispatchPacket(UInt8 type, const UInt8* payload, UInt32 length);
  // Dispatches a begin/end packet.
  void dispatchEmptyPacket(UInt8 type);
  // Appends payload bytes of the straddling packet.
  void appendToBuffer(const UInt8* bytes, size_t count);
  // Dispatches every whole packet in `bytes` where it lies and keeps the start of the last one.
  void parseFullPackets(const UInt8* bytes, size_t count);
  // Forgets the packet just handled; the framer waits for the next header.
  void removePacket();

  ScanProtocolCallbacks _callbacks;
  std::vector<UInt8> _buffer;  // payload of the one packet that straddles reads
  UInt8 _header[kScanPacketHeaderSize];
  size_t _headerFill = 0;
  State _state = State::Header;
  Action _action = Action::Skip;
  UInt8 _packetType = 0;
  UInt32 _packetLength = 0;
  UInt32 _remaining = 0;  // payload bytes still to come for the packet at hand
};

// --- Plain-function bridge used by the scan job -------------------------------------------

// Opaque handle of a framer.
typedef USBScanProtocol* USBScanProtocolRef;

// Creates a framer with a copy of *callbacks; null when `callbacks` is null.
USBScanProtocolRef initUSBScanProtocol(const ScanProtocolCallbacks* callbacks);
// A control packet for `count` bytes at `bytes`, owned by the caller (.data(), .size()).
// `protocol` is not touched and may be null.
std::vector<UInt8> prepControlDataToSend(USBScanProtocolRef protocol, const void* bytes, size_t count);
// Feeds `count` received bytes to the framer.
void receiveData(USBScanProtocolRef protocol, const void* bytes, size_t count);
// Destroys the framer (null is ignored).
void releaseUSBScanProtocol(USBScanProtocolRef protocol);

// Owns a framer handle: std::unique_ptr<USBScanProtocol, USBScanProtocolReleaser>.
struct USBScanProtocolReleaser {
  void operator()(USBScanProtocolRef protocol) const { releaseUSBScanProtocol(protocol); }
};
using USBScanProtocolHandle = std::unique_ptr<USBScanProtocol, USBScanProtocolReleaser>;

// Debugging aid: writes `data` atomically to "/tmp/qelt-data-dump".
void dumpData(const std::vector<UInt8>& data);

namespace tarvell {
// Writes `data` to `path` atomically: a private temporary file beside it (mkstemp), then rename.
// False, with no file left behind, when any step fails.
bool DumpDataToPath(const std::vector<UInt8>& data, const std::string& path);
}  // namespace tarvell
