// Arbitrary bytes read as a capture, and when they read as one, replayed: the reader must give
// an error or a device, never read past what it was given; the replayed device must answer
// every call within its buffers.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/usb/ReplayBus.h"

using namespace tarvell::usb;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size heap copy, so that a read past the end is caught.
  std::unique_ptr<UInt8[]> bytes(new UInt8[size ? size : 1]);
  if (size) std::memcpy(bytes.get(), data, size);
  CapturedDevice device;
  device.vendorID = 0x2B7E;  // the scanner sought in the capture
  device.productID = 0x0C5A;
  std::string error;
  const UInt16 bus = size > 0 && (data[0] & 1) ? 3 : 0;  // now and then as FILE@3.5
  if (!ReadCaptureBytes(bytes.get(), size, bus, bus ? 5 : 0, &device, &error)) return 0;

  auto replay = std::make_shared<ReplayBus>(device);
  std::unique_ptr<MasterPort> port;
  MatchingDictionary matching;
  ServiceList services;
  if (replay->CreateMasterPort(&port) != 0 || !port->CreateMatching(kInterfaceClass, &matching) ||
      port->GetMatchingServices(matching, &services) != 0 || services.empty())
    return 0;
  std::unique_ptr<PlugIn> plugIn;
  std::unique_ptr<USBInterface> interface;
  services[0]->CreatePlugIn(&plugIn);
  if (!plugIn || plugIn->QueryInterface(&interface) != 0 || !interface || interface->Open() != 0) return 0;
  UInt8 pipes = 0;
  interface->GetNumEndpoints(&pipes);
  for (size_t round = 0; round < device.transfers.size() + 2 && round < 4096; ++round) {
    const UInt8 pipe = UInt8(1 + round % (pipes ? pipes : 1));
    PipeProperties p;
    if (interface->GetPipeProperties(pipe, &p) != 0) break;
    if (p.direction == kUSBIn) {
      UInt32 capacity = UInt32(round * 37 % 600);
      std::vector<UInt8> buffer(capacity);
      interface->ReadPipe(pipe, buffer.data(), &capacity, 10, 10);
    } else {
      interface->WritePipe(pipe, bytes.get(), UInt32(round % (size + 1)), 10, 10);
    }
    UInt8 descriptor[18];
    DeviceRequest request;
    request.bmRequestType = 0x80;
    request.bRequest = 6;
    request.wValue = 0x0100;
    request.wLength = sizeof descriptor;
    request.pData = descriptor;
    interface->ControlRequest(&request);
  }
  (void)replay->divergence();
  return 0;
}
