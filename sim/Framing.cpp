#include "sim/Framing.h"

#include <algorithm>
#include <cstring>

#include "usb/USBScanProtocol.h"

namespace tarvell::sim {
namespace {

constexpr size_t kHeader = kScanPacketHeaderSize;
constexpr uint8_t kUnknownPacket[12] = {kUnknownPacketType, 0, 0, 0, 0, 0, 0, 4, 0xDE, 0xAD, 0xBE, 0xEF};

}  // namespace

void AppendUnknownPacket(std::vector<uint8_t>& out) {
  out.insert(out.end(), kUnknownPacket, kUnknownPacket + sizeof kUnknownPacket);
}

FramedImage::FramedImage(std::vector<uint8_t> pnm, size_t packetSize, bool unknownPackets)
    : pnm_(std::move(pnm)), packetSize_(std::max<size_t>(packetSize, 1)) {
  USBScanProtocol::AppendPacket(head_, kPacketBeginImageJob, nullptr, 0);
  if (unknownPackets) AppendUnknownPacket(head_);
  USBScanProtocol::AppendPacket(head_, kPacketBeginImagePage, nullptr, 0);
  USBScanProtocol::AppendPacket(tail_, kPacketEndImagePage, nullptr, 0);
  USBScanProtocol::AppendPacket(tail_, kPacketEndImageJob, nullptr, 0);
  const uint64_t packets = (pnm_.size() + packetSize_ - 1) / packetSize_;
  afterFirst_ = unknownPackets && packets > 0 ? sizeof kUnknownPacket : 0;
  size_ = head_.size() + packets * kHeader + pnm_.size() + afterFirst_ + tail_.size();
}

void FramedImage::Read(uint64_t offset, size_t n, uint8_t* out) const {
  const uint64_t tailStart = size_ - tail_.size();
  // Each turn copies what one piece (a literal packet, a header, a payload) holds from `offset` on.
  while (n > 0) {
    const uint8_t* from = nullptr;
    size_t piece = 0;
    uint8_t header[kHeader];
    if (offset < head_.size()) {
      from = head_.data() + offset;
      piece = head_.size() - size_t(offset);
    } else if (offset >= tailStart) {
      from = tail_.data() + (offset - tailStart);
      piece = tail_.size() - size_t(offset - tailStart);
    } else {
      // Image-data packets: the first one is followed by the unknown packet when there is one.
      uint64_t at = offset - head_.size();
      uint64_t index = 0;
      const uint64_t first = kHeader + std::min(packetSize_, pnm_.size()) + afterFirst_;
      if (at >= first) {
        index = 1 + (at - first) / (kHeader + packetSize_);
        at = (at - first) % (kHeader + packetSize_);
      }
      const size_t payloadStart = size_t(index * packetSize_);
      const size_t length = std::min(packetSize_, pnm_.size() - payloadStart);
      if (at < kHeader) {
        USBScanProtocol::EncodeHeader(kPacketImageData, UInt32(length), header);
        from = header + at;
        piece = kHeader - size_t(at);
      } else if (at < kHeader + length) {
        from = pnm_.data() + payloadStart + (at - kHeader);
        piece = kHeader + length - size_t(at);
      } else {
        from = kUnknownPacket + (at - kHeader - length);
        piece = kHeader + length + afterFirst_ - size_t(at);
      }
    }
    piece = std::min(piece, n);
    std::memcpy(out, from, piece);
    out += piece;
    offset += piece;
    n -= piece;
  }
}

}  // namespace tarvell::sim
