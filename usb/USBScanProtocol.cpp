#include "usb/USBScanProtocol.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/system/Log.h"

namespace {

UInt32 ReadBigEndian32(const UInt8* p) {
  return (UInt32(p[0]) << 24) | (UInt32(p[1]) << 16) | (UInt32(p[2]) << 8) | UInt32(p[3]);
}

bool CarriesPayload(UInt8 type) { return type == kPacketControlData || type == kPacketImageData; }

bool IsKnownType(UInt8 type) {
  switch (type) {
    case kPacketBeginImageJob:
    case kPacketBeginImagePage:
    case kPacketControlData:
    case kPacketImageData:
    case kPacketEndImagePage:
    case kPacketEndImageJob: return true;
    default: return false;
  }
}

// A straddling payload is reserved whole up to this size; larger ones grow as they arrive, so
// a forged length cannot make us allocate what never comes.
constexpr UInt32 kMaxUpfrontReserve = 1u << 20;

}  // namespace

std::unique_ptr<USBScanProtocol> USBScanProtocol::initWithCallbacks(const ScanProtocolCallbacks& callbacks) {
  return std::make_unique<USBScanProtocol>(callbacks);
}

USBScanProtocol::USBScanProtocol(const ScanProtocolCallbacks& callbacks) : _callbacks(callbacks) {}

void USBScanProtocol::EncodeHeader(UInt8 type, UInt32 length, UInt8 out[kScanPacketHeaderSize], UInt8 version) {
  const UInt8 header[kScanPacketHeaderSize] = {
      type, version, 0, 0, UInt8(length >> 24), UInt8(length >> 16), UInt8(length >> 8), UInt8(length)};
  std::memcpy(out, header, kScanPacketHeaderSize);
}

void USBScanProtocol::AppendPacket(std::vector<UInt8>& out, UInt8 type, const UInt8* payload, size_t length,
                                   UInt8 version) {
  UInt8 header[kScanPacketHeaderSize];
  EncodeHeader(type, UInt32(length), header, version);
  out.insert(out.end(), header, header + kScanPacketHeaderSize);
  if (length > 0) out.insert(out.end(), payload, payload + length);
}

std::vector<UInt8> USBScanProtocol::prepControlDataToSend(const UInt8* payload, size_t count) {
  std::vector<UInt8> packet;
  if (count > UINT32_MAX) {
    BridgeNSLog(" > ERROR: control data of %zu bytes does not fit a packet", count);
    return packet;
  }
  packet.reserve(kScanPacketHeaderSize + count);
  AppendPacket(packet, kPacketControlData, payload, count);
  return packet;
}

size_t USBScanProtocol::pendingPacketBytes() const {
  if (_state == State::Header) return _headerFill;
  return kScanPacketHeaderSize + (_packetLength - _remaining);
}

void USBScanProtocol::receiveData(const UInt8* bytes, size_t count) {
  // First finish the packet that straddles from earlier reads, if any.
  while (count > 0 && !(_state == State::Header && _headerFill == 0)) {
    if (_state == State::Header) {
      size_t n = kScanPacketHeaderSize - _headerFill;
      if (n > count) n = count;
      std::memcpy(_header + _headerFill, bytes, n);
      _headerFill += n;
      bytes += n;
      count -= n;
      if (_headerFill == kScanPacketHeaderSize) beginPacket(_header);
      continue;
    }
    size_t n = count < _remaining ? count : _remaining;
    if (_state == State::Payload) appendToBuffer(bytes, n);
    bytes += n;
    count -= n;
    _remaining -= UInt32(n);
    if (_remaining == 0) finishPacket();
  }
  if (count > 0) parseFullPackets(bytes, count);
}

USBScanProtocol::Action USBScanProtocol::classify(const UInt8* header) {
  UInt8 type = header[0];
  UInt32 length = ReadBigEndian32(header + 4);
  if (!IsKnownType(type)) {
    BridgeNSLog("Uh oh.  Got a packet of an unknown type.");
    BridgeNSLog("packetType: %x,\tversion: %x,\tlength: %d", unsigned(type), unsigned(header[1]), int(length));
    return Action::Skip;
  }
  if (!CarriesPayload(type)) return Action::Signal;
  if (length > UInt32(INT32_MAX)) {
    // The callbacks take a signed 32-bit length; such a payload cannot be handed out.
    BridgeNSLog(" > ERROR: packetType: %x, length %u too large, packet skipped", unsigned(type), unsigned(length));
    return Action::Skip;
  }
  return Action::Deliver;
}

void USBScanProtocol::beginPacket(const UInt8* header) {
  _packetType = header[0];
  _packetLength = ReadBigEndian32(header + 4);
  _remaining = _packetLength;
  _action = classify(header);
  if (_action == Action::Deliver) {
    _state = State::Payload;
    _buffer.clear();
    _buffer.reserve(_packetLength < kMaxUpfrontReserve ? _packetLength : kMaxUpfrontReserve);
  } else {
    // Begin/end packets carry nothing for their callback, and unknown or oversized ones are
    // dropped: their payload is counted off, not kept.
    _state = State::Skip;
  }
  if (_remaining == 0) finishPacket();
}

void USBScanProtocol::finishPacket() {
  UInt8 type = _packetType;
  Action action = _action;
  removePacket();
  if (action == Action::Deliver)
    dispatchPacket(type, _buffer.data(), UInt32(_buffer.size()));
  else if (action == Action::Signal)
    dispatchEmptyPacket(type);
}

void USBScanProtocol::parseFullPackets(const UInt8* bytes, size_t count) {
  while (count >= kScanPacketHeaderSize) {
    UInt32 length = ReadBigEndian32(bytes + 4);
    // Compared so that a length near 2^32 cannot wrap around.
    if (count - kScanPacketHeaderSize < length) break;
    const UInt8* header = bytes;
    bytes += kScanPacketHeaderSize + size_t(length);
    count -= kScanPacketHeaderSize + size_t(length);
    switch (classify(header)) {
      case Action::Deliver: dispatchPacket(header[0], header + kScanPacketHeaderSize, length); break;
      case Action::Signal: dispatchEmptyPacket(header[0]); break;
      case Action::Skip: break;
    }
  }
  if (count == 0) return;
  // The start of a packet that later reads complete.
  if (count < kScanPacketHeaderSize) {
    std::memcpy(_header, bytes, count);
    _headerFill = count;
    return;
  }
  std::memcpy(_header, bytes, kScanPacketHeaderSize);
  _headerFill = kScanPacketHeaderSize;
  beginPacket(_header);  // incomplete, so nothing is dispatched here
  bytes += kScanPacketHeaderSize;
  count -= kScanPacketHeaderSize;
  if (_state == State::Payload) appendToBuffer(bytes, count);
  _remaining -= UInt32(count);
}

void USBScanProtocol::appendToBuffer(const UInt8* bytes, size_t count) {
  _buffer.insert(_buffer.end(), bytes, bytes + count);
}

void USBScanProtocol::removePacket() {
  _state = State::Header;
  _action = Action::Skip;
  _headerFill = 0;
  _packetType = 0;
  _packetLength = 0;
  _remaining = 0;
}

void USBScanProtocol::dispatchPacket(UInt8 type, const UInt8* payload, UInt32 length) {
  static const UInt8 kEmpty = 0;
  if (!payload) payload = &kEmpty;
  if (type == kPacketControlData)
    doControlDataCallbackWithData(payload, SInt32(length));
  else if (type == kPacketImageData)
    doImageDataCallbackWithData(payload, SInt32(length));
}

void USBScanProtocol::dispatchEmptyPacket(UInt8 type) {
  switch (type) {
    case kPacketBeginImageJob: doBeginImageJobCallback(); break;
    case kPacketBeginImagePage: doBeginImagePageCallback(); break;
    case kPacketEndImagePage: doEndImagePageCallback(); break;
    case kPacketEndImageJob: doEndImageJobCallback(); break;
    default: break;
  }
}

void USBScanProtocol::doBeginImageJobCallback() {
  if (_callbacks.beginImageJob) _callbacks.beginImageJob(_callbacks.info);
}
void USBScanProtocol::doBeginImagePageCallback() {
  if (_callbacks.beginImagePage) _callbacks.beginImagePage(_callbacks.info);
}
void USBScanProtocol::doEndImagePageCallback() {
  if (_callbacks.endImagePage) _callbacks.endImagePage(_callbacks.info);
}
void USBScanProtocol::doEndImageJobCallback() {
  if (_callbacks.endImageJob) _callbacks.endImageJob(_callbacks.info);
}
void USBScanProtocol::doControlDataCallbackWithData(const UInt8* bytes, SInt32 length) {
  if (_callbacks.controlData) _callbacks.controlData(bytes, length, _callbacks.info);
}
void USBScanProtocol::doImageDataCallbackWithData(const UInt8* bytes, SInt32 length) {
  if (_callbacks.imageData) _callbacks.imageData(bytes, length, _callbacks.info);
}

// --- Bridge --------------------------------------------------------------------------------

USBScanProtocolRef initUSBScanProtocol(const ScanProtocolCallbacks* callbacks) {
  if (!callbacks) return nullptr;
  return USBScanProtocol::initWithCallbacks(*callbacks).release();
}

std::vector<UInt8> prepControlDataToSend(USBScanProtocolRef, const void* bytes, size_t count) {
  return USBScanProtocol::prepControlDataToSend(static_cast<const UInt8*>(bytes), count);
}

void receiveData(USBScanProtocolRef protocol, const void* bytes, size_t count) {
  if (!protocol || (!bytes && count)) return;
  protocol->receiveData(static_cast<const UInt8*>(bytes), count);
}

void releaseUSBScanProtocol(USBScanProtocolRef protocol) { delete protocol; }

void dumpData(const std::vector<UInt8>& data) {
  if (!tarvell::DumpDataToPath(data, "/tmp/qelt-data-dump"))
    BridgeNSLog(" > ERROR: could not write /tmp/qelt-data-dump");
}

namespace tarvell {

bool DumpDataToPath(const std::vector<UInt8>& data, const std::string& path) {
  // A private, unpredictable name in the target's directory, so the rename stays on one file
  // system and nobody can plant a link under the name beforehand.
  std::string temp = path + ".XXXXXX";
  int fd = mkstemp(temp.data());
  if (fd < 0) return false;
  bool ok = true;
  const UInt8* p = data.data();
  size_t left = data.size();
  while (ok && left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    p += n;
    left -= size_t(n);
  }
  if (close(fd) != 0) ok = false;
  if (ok && std::rename(temp.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) unlink(temp.c_str());
  return ok;
}

}  // namespace tarvell
