// Arbitrary bytes fed to the framer in arbitrary pieces. Every callback must report a packet a
// whole-stream reading finds at the same place, with the same bytes; each piece lives in a heap
// block of exactly its size so that a read past it is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "usb/USBScanProtocol.h"

namespace {

struct Event {
  UInt8 type;
  std::string payload;
  bool operator==(const Event& o) const { return type == o.type && payload == o.payload; }
};

// Reads the whole stream at once, the simple way.
std::vector<Event> Expected(const UInt8* s, size_t n) {
  std::vector<Event> events;
  while (n >= 8) {
    UInt32 length = (UInt32(s[4]) << 24) | (UInt32(s[5]) << 16) | (UInt32(s[6]) << 8) | s[7];
    if (n - 8 < length) break;
    UInt8 type = s[0];
    bool data = type == kPacketControlData || type == kPacketImageData;
    bool signal = type == kPacketBeginImageJob || type == kPacketBeginImagePage || type == kPacketEndImagePage ||
                  type == kPacketEndImageJob;
    if (data && length <= UInt32(INT32_MAX))
      events.push_back({type, std::string(reinterpret_cast<const char*>(s + 8), length)});
    else if (signal)
      events.push_back({type, std::string()});
    s += 8 + size_t(length);
    n -= 8 + size_t(length);
  }
  return events;
}

struct Recorder {
  std::vector<Event> events;
  static Recorder* R(void* info) { return static_cast<Recorder*>(info); }
  static void Data(UInt8 type, const UInt8* bytes, SInt32 length, void* info) {
    if (length < 0 || !bytes) abort();
    // Copying touches every payload byte: a payload outside what was fed trips the sanitizer.
    R(info)->events.push_back({type, std::string(reinterpret_cast<const char*>(bytes), size_t(length))});
  }
  static void Control(const UInt8* b, SInt32 n, void* info) { Data(kPacketControlData, b, n, info); }
  static void Image(const UInt8* b, SInt32 n, void* info) { Data(kPacketImageData, b, n, info); }
  static void Job(void* info) { R(info)->events.push_back({kPacketBeginImageJob, {}}); }
  static void Page(void* info) { R(info)->events.push_back({kPacketBeginImagePage, {}}); }
  static void EndPage(void* info) { R(info)->events.push_back({kPacketEndImagePage, {}}); }
  static void EndJob(void* info) { R(info)->events.push_back({kPacketEndImageJob, {}}); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // The first two bytes choose the pieces: the largest piece and the seed of their sizes.
  size_t maxPiece = size_t(data[0]) + 1;
  uint32_t seed = data[1] * 2654435761u + 1;
  const UInt8* stream = data + 2;
  size_t n = size - 2;

  Recorder rec;
  ScanProtocolCallbacks callbacks = {
      &rec, Recorder::Job, Recorder::Page, Recorder::Control, Recorder::Image, Recorder::EndPage, Recorder::EndJob};
  USBScanProtocolHandle framer(initUSBScanProtocol(&callbacks));
  for (size_t at = 0; at < n;) {
    seed = seed * 1103515245u + 12345u;
    size_t piece = 1 + (seed >> 8) % maxPiece;
    if (piece > n - at) piece = n - at;
    std::unique_ptr<UInt8[]> exact(new UInt8[piece]);
    std::memcpy(exact.get(), stream + at, piece);
    receiveData(framer.get(), exact.get(), piece);
    at += piece;
  }
  if (!(rec.events == Expected(stream, n))) abort();
  return 0;
}
