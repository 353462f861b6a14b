// Runs the libusb backend against the emulated bus that LibusbBusTest sets up (this program runs
// with the emulation preloaded; the test is its parent and plays the device). Exit status 0 when
// every check passed; each failed check is printed on standard error.
//
// The emulated scanner understands commands written to its request pipe (see LibusbBusTest):
// "echo:TEXT" (next reply-pipe read answers TEXT), "image:N" (next image-pipe read gets N bytes),
// "silence" (next image-pipe read gets nothing), "trickle:N" (next image-pipe read gets N bytes,
// then nothing), "gone" (next transfer fails as if unplugged).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/usb/LibusbBus.h"
#include "usb/CSimpleScanner.h"

using namespace tarvell::usb;

namespace {

int gFailures = 0;

#define CHECK(cond)                                                        \
  do {                                                                     \
    if (!(cond)) {                                                         \
      std::fprintf(stderr, "FAIL %s:%d: %s\n", __FILE__, __LINE__, #cond); \
      ++gFailures;                                                         \
    }                                                                      \
  } while (0)

#define CHECK_STATUS(expr, expected)                                                                                  \
  do {                                                                                                                \
    IOReturn got_ = (expr);                                                                                           \
    if (got_ != (expected)) {                                                                                         \
      std::fprintf(stderr, "FAIL %s:%d: %s = %s, expected %s\n", __FILE__, __LINE__, #expr, StatusText(got_).c_str(), \
                   StatusText(expected).c_str());                                                                     \
      ++gFailures;                                                                                                    \
    }                                                                                                                 \
  } while (0)

constexpr UInt32 kScannerLocation = 0x01410000;   // bus 1, ports 4.1
constexpr UInt32 kKeyboardLocation = 0x01200000;  // bus 1, port 2
constexpr UInt32 kShortNoData = 300;
constexpr UInt32 kShortCompletion = 3000;

// A search for the scanner (by its identity and request pipe, as the driver asks), or with
// `anyDevice` for whatever the bus has.
ServiceList Search(MasterPort& port, const char* className, UInt32 location, bool anyDevice = false) {
  MatchingDictionary m;
  CHECK(port.CreateMatching(className, &m));
  m.locationID = location;
  if (!anyDevice) {
    m.vendorID = 0x2B7E;
    m.productID = 0x0C5A;
    m.bulkOutEndpoint = 2;
  }
  ServiceList services;
  CHECK_STATUS(port.GetMatchingServices(m, &services), kIOReturnSuccess);
  return services;
}

void Command(USBInterface& iface, const std::string& text) {
  CHECK_STATUS(iface.WritePipe(1, text.data(), UInt32(text.size()), kShortNoData, kShortCompletion), kIOReturnSuccess);
}

void DeviceSearch(MasterPort& port) {
  // Only the scanner is offered, though a keyboard and two hubs are on the bus.
  ServiceList devices = Search(port, kDeviceClass, 0);
  CHECK(devices.size() == 1);
  if (devices.empty()) return;
  std::unique_ptr<PlugIn> plugIn;
  CHECK_STATUS(devices[0]->CreatePlugIn(&plugIn), kIOReturnSuccess);
  std::unique_ptr<USBDevice> dev;
  CHECK_STATUS(plugIn->QueryDevice(&dev), kIOReturnSuccess);
  if (!dev) return;
  CHECK_STATUS(dev->Open(), kIOReturnSuccess);
  UInt16 vendor = 0, product = 0;
  UInt32 location = 0;
  CHECK_STATUS(dev->GetVendor(&vendor), kIOReturnSuccess);
  CHECK_STATUS(dev->GetProduct(&product), kIOReturnSuccess);
  CHECK_STATUS(dev->GetLocationID(&location), kIOReturnSuccess);
  CHECK(vendor == 0x2B7E);
  CHECK(product == 0x0C5A);
  CHECK(location == kScannerLocation);
  CHECK_STATUS(dev->Close(), kIOReturnSuccess);

  CHECK(Search(port, kDeviceClass, kKeyboardLocation).empty());
  CHECK(Search(port, kInterfaceClass, kKeyboardLocation).empty());
  // Devices may be listed without naming one; interfaces never are, so none can be claimed blindly.
  CHECK(Search(port, kDeviceClass, kKeyboardLocation, true).size() == 1);
  CHECK(Search(port, kInterfaceClass, 0, true).empty());
}

void Transfers(MasterPort& port) {
  // Of the scanner's two interfaces, only the one with its request pipe is offered.
  ServiceList services = Search(port, kInterfaceClass, kScannerLocation);
  CHECK(services.size() == 1);
  if (services.empty()) return;
  std::unique_ptr<PlugIn> plugIn;
  CHECK_STATUS(services[0]->CreatePlugIn(&plugIn), kIOReturnSuccess);
  std::unique_ptr<USBInterface> iface;
  CHECK_STATUS(plugIn->QueryInterface(&iface), kIOReturnSuccess);
  if (!iface) return;
  UInt8 n = 0;
  CHECK_STATUS(iface->GetNumEndpoints(&n), kIOReturnNotOpen);
  CHECK_STATUS(iface->Open(), kIOReturnSuccess);
  CHECK_STATUS(iface->GetNumEndpoints(&n), kIOReturnSuccess);
  CHECK(n == 3);
  PipeProperties p;
  CHECK_STATUS(iface->GetPipeProperties(1, &p), kIOReturnSuccess);
  CHECK(p.direction == kUSBOut && p.number == 2 && p.transferType == kUSBBulk && p.maxPacketSize == 512);
  CHECK_STATUS(iface->GetPipeProperties(2, &p), kIOReturnSuccess);
  CHECK(p.direction == kUSBIn && p.number == 11 && p.transferType == kUSBBulk);
  CHECK_STATUS(iface->GetPipeProperties(3, &p), kIOReturnSuccess);
  CHECK(p.direction == kUSBIn && p.number == 8 && p.transferType == kUSBBulk);
  CHECK_STATUS(iface->GetPipeProperties(4, &p), kIOReturnBadArgument);

  std::vector<UInt8> buf(131072);
  Command(*iface, "echo:hello");
  UInt32 size = 256;
  CHECK_STATUS(iface->ReadPipe(2, buf.data(), &size, kShortNoData, kShortCompletion), kIOReturnSuccess);
  CHECK(size == 5 && std::memcmp(buf.data(), "hello", 5) == 0);

  Command(*iface, "image:1000");
  size = UInt32(buf.size());
  CHECK_STATUS(iface->ReadPipe(3, buf.data(), &size, kShortNoData, kShortCompletion), kIOReturnSuccess);
  CHECK(size == 1000);
  bool pattern = true;
  for (UInt32 i = 0; i < size; ++i) pattern &= buf[i] == UInt8(i * 7);
  CHECK(pattern);

  Command(*iface, "silence");
  size = UInt32(buf.size());
  auto start = std::chrono::steady_clock::now();
  CHECK_STATUS(iface->ReadPipe(3, buf.data(), &size, kShortNoData, kShortCompletion), kIOReturnTimeout);
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  CHECK(size == 0);
  CHECK(waited.count() >= kShortNoData - 50 && waited.count() < kShortCompletion);

  // Bytes that arrived before the time-out are delivered, not dropped.
  Command(*iface, "trickle:300");
  size = UInt32(buf.size());
  CHECK_STATUS(iface->ReadPipe(3, buf.data(), &size, kShortNoData, kShortCompletion), kIOReturnSuccess);
  CHECK(size == 300);

  CHECK_STATUS(iface->ReadPipe(1, buf.data(), &size, kShortNoData, kShortCompletion), kIOReturnBadArgument);
  CHECK_STATUS(iface->ClearPipeStallBothEnds(2), kIOReturnSuccess);

  Command(*iface, "gone");
  size = UInt32(buf.size());
  CHECK_STATUS(iface->ReadPipe(3, buf.data(), &size, kShortNoData, kShortCompletion), kIOReturnNoDevice);
  CHECK_STATUS(iface->Close(), kIOReturnSuccess);
}

void Scanner() {
  SetActiveBus(MakeLibusbBus());
  {
    CSimpleScanner scanner(kScannerLocation);
    CHECK(scanner.m_opened);
    CHECK(scanner.m_bpo == 1 && scanner.m_bpi == 2 && scanner.m_ipi == 3);
    const char cmd[] = "echo:scanner";
    CHECK_STATUS(scanner.WritePipeWithBuffer(cmd, sizeof cmd - 1), kIOReturnSuccess);
    UInt8 reply[256];
    UInt32 size = sizeof reply;
    CHECK_STATUS(scanner.ReadControlPipeToBuffer(reply, &size), kIOReturnSuccess);
    CHECK(size == 7 && std::memcmp(reply, "scanner", 7) == 0);
    // Nothing at the keyboard's place is taken for a scanner.
    CSimpleScanner other(kKeyboardLocation);
    CHECK(!other.m_opened);
  }  // the destructor clears both stalls (the test checks the requests) and closes
  SetActiveBus(nullptr);
}

}  // namespace

int main() {
  std::unique_ptr<MasterPort> port;
  CHECK_STATUS(MakeLibusbBus()->CreateMasterPort(&port), kIOReturnSuccess);
  if (port) {
    DeviceSearch(*port);
    Transfers(*port);
  }
  port.reset();
  Scanner();
  std::fprintf(stderr, "probe: %d failure(s)\n", gFailures);
  return gFailures == 0 ? 0 : 1;
}
