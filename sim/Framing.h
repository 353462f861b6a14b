// How the simulated scanner frames what it sends on the reply pipe and on the image pipe: packets
// of the wire header (usb/USBScanProtocol.h; version and reserved bytes 0) and a payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarvell::sim {

// A packet type no host knows, which the device may mix into its streams.
constexpr uint8_t kUnknownPacketType = 0x42;

// An unknown packet (type 0x42, four bytes of junk).
void AppendUnknownPacket(std::vector<uint8_t>& out);

// The image pipe's stream for one page: begin-job, begin-page, the PNM in image-data packets of
// `packetSize` payload bytes (the last one shorter), end-page, end-job; with `unknownPackets`, one
// unknown packet after begin-job and one after the first image-data packet. The stream is made
// on the fly from the PNM and an offset, so a page is held once, as its PNM.
class FramedImage {
 public:
  FramedImage() = default;
  FramedImage(std::vector<uint8_t> pnm, size_t packetSize, bool unknownPackets);

  const std::vector<uint8_t>& pnm() const { return pnm_; }
  // Bytes of the whole framed stream.
  uint64_t size() const { return size_; }
  // Copies the stream's bytes [offset, offset + n) to `out`; they must lie within size().
  void Read(uint64_t offset, size_t n, uint8_t* out) const;

 private:
  std::vector<uint8_t> pnm_;
  size_t packetSize_ = 1;
  std::vector<uint8_t> head_;  // packets before the first image-data packet
  std::vector<uint8_t> tail_;  // packets after the last
  size_t afterFirst_ = 0;      // bytes of the unknown packet after the first image-data packet
  uint64_t size_ = 0;
};

}  // namespace tarvell::sim
