// USB records as the Linux kernel's usbmon writes them into packet captures (pcap and pcapng
// link types 189, USB_LINUX, and 220, USB_LINUX_MMAPPED): a submission ('S') and a completion
// ('C') record per transfer, or an error record ('E') for a submission that failed.
#pragma once

#include <string>
#include <vector>

#include "platform/system/Types.h"

namespace tarvell {
namespace usb {

constexpr int kLinktypeUsbLinux = 189;         // 48-byte header
constexpr int kLinktypeUsbLinuxMmapped = 220;  // 64-byte header, ISO descriptors before the data

// usbmon's transfer types.
enum : UInt8 { kUsbmonIso = 0, kUsbmonInterrupt = 1, kUsbmonControl = 2, kUsbmonBulk = 3 };

// Status values of the records (negative errno).
constexpr SInt32 kUsbmonInProgress = -115;  // every submission
constexpr SInt32 kUsbmonTimedOut = -110;
constexpr SInt32 kUsbmonNoDevice = -19;
constexpr SInt32 kUsbmonStalled = -32;
constexpr SInt32 kUsbmonOverflow = -75;
constexpr SInt32 kUsbmonUnlinked = -2;  // cancelled (libusb's time-outs)
constexpr SInt32 kUsbmonIOError = -5;

struct UsbmonRecord {
  UInt64 urbID = 0;
  char type = 'S';
  UInt8 transferType = kUsbmonBulk;
  UInt8 endpoint = 0;  // address, 0x80 set for IN
  UInt8 device = 0;
  UInt16 bus = 0;
  bool hasSetup = false;
  UInt8 setup[8] = {};
  SInt64 seconds = 0;
  SInt32 micros = 0;
  SInt32 status = 0;
  UInt32 length = 0;        // urb length: asked for (S) or moved (C)
  UInt32 dataLength = 0;    // bytes of data the record says it carries
  std::vector<UInt8> data;  // the bytes it does carry (fewer when the capture cut the frame)
};

// The record in link type 220's form (header in this machine's byte order, then the data).
std::vector<UInt8> EncodeUsbmon(const UsbmonRecord& record);

// Reads one record of link type 189 or 220 from `bytes`, which the capture holds `size` of.
// False with a reason when the bytes are not such a record.
bool DecodeUsbmon(int linktype, const UInt8* bytes, size_t size, UsbmonRecord* out, std::string* error);

// I/O status <-> record status.
SInt32 UsbmonStatus(IOReturn status);
IOReturn StatusFromUsbmon(SInt32 status);

}  // namespace usb
}  // namespace tarvell
