// The scan job against a device whose every answer is chosen by the input: a series of reads,
// each [pipe and status byte][length, 2 bytes little-endian][bytes]. Bit 0 of the first byte
// picks the pipe (0 control replies, 1 image data), bits 1-2 the status (success, time-out,
// device gone, failure). The job must end, free everything and never read out of bounds.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/usb/SimBus.h"
#include "sim/SimulatedScanner.h"
#include "usb/CSimpleScanner.h"
#include "usb/ScanJob.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const IOReturn kStatuses[4] = {kIOReturnSuccess, kIOReturnTimeout, kIOReturnNoDevice, kIOReturnError};
  auto bus = tarvell::usb::SimBus::Create();
  tarvell::usb::SetActiveBus(bus);
  std::shared_ptr<tarvell::usb::SimDevice> device = bus->AddDevice(tarvell::sim::MakeK310(0x01100000));
  size_t pos = 0;
  while (pos + 3 <= size) {
    const uint8_t selector = data[pos];
    const size_t length = std::min<size_t>(size - pos - 3, size_t(data[pos + 1]) | (size_t(data[pos + 2]) << 8));
    std::vector<UInt8> bytes(data + pos + 3, data + pos + 3 + length);
    pos += 3 + length;
    device->QueueRead((selector & 1) ? 8 : 11, std::move(bytes), kStatuses[(selector >> 1) & 3]);
  }
  {
    CSimpleScanner scanner(0x01100000);
    if (scanner.m_opened) {
      ScanningParamBlock p{300, 300, 0, 0, 100, 100, 1, 8, 0, 0};
      scanner.SetScanningParameters(&p);
      std::unique_ptr<ScanData> image;
      scanner.MyScanToBuffer(&image);
    }
  }
  tarvell::usb::SetActiveBus(nullptr);
  glJobName.clear();
  return 0;
}
