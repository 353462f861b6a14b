#include "platform/usb/Usbmon.h"

#include <cstring>

#include "platform/usb/USB.h"

namespace tarvell {
namespace usb {
namespace {

constexpr size_t kHeader189 = 48;
constexpr size_t kHeader220 = 64;
constexpr size_t kIsoDescriptor = 16;

template <typename T>
void Put(std::vector<UInt8>& out, size_t at, T value) {
  std::memcpy(out.data() + at, &value, sizeof value);
}

template <typename T>
T Get(const UInt8* bytes, size_t at) {
  T value;
  std::memcpy(&value, bytes + at, sizeof value);
  return value;
}

}  // namespace

std::vector<UInt8> EncodeUsbmon(const UsbmonRecord& r) {
  std::vector<UInt8> out(kHeader220 + r.data.size(), 0);
  Put<UInt64>(out, 0, r.urbID);
  out[8] = UInt8(r.type);
  out[9] = r.transferType;
  out[10] = r.endpoint;
  out[11] = r.device;
  Put<UInt16>(out, 12, r.bus);
  out[14] = r.hasSetup ? 0 : '-';
  // No data: '<' for an IN submission, '>' for an OUT completion, as the kernel marks them.
  const bool in = (r.endpoint & 0x80) != 0;
  out[15] = !r.data.empty() ? 0 : (r.type == 'S' && in) ? '<' : (r.type != 'S' && !in) ? '>' : '=';
  Put<SInt64>(out, 16, r.seconds);
  Put<SInt32>(out, 24, r.micros);
  Put<SInt32>(out, 28, r.status);
  Put<UInt32>(out, 32, r.length);
  Put<UInt32>(out, 36, UInt32(r.data.size()));
  if (r.hasSetup) std::memcpy(out.data() + 40, r.setup, 8);
  // interval, start frame, transfer flags and ISO descriptor count stay 0.
  if (!r.data.empty()) std::memcpy(out.data() + kHeader220, r.data.data(), r.data.size());
  return out;
}

bool DecodeUsbmon(int linktype, const UInt8* bytes, size_t size, UsbmonRecord* out, std::string* error) {
  const size_t header = linktype == kLinktypeUsbLinuxMmapped ? kHeader220 : kHeader189;
  if (linktype != kLinktypeUsbLinux && linktype != kLinktypeUsbLinuxMmapped) {
    *error = "not a usbmon link type";
    return false;
  }
  if (bytes == nullptr || size < header) {
    *error = "too short for a usbmon record (" + std::to_string(size) + " bytes)";
    return false;
  }
  UsbmonRecord r;
  r.urbID = Get<UInt64>(bytes, 0);
  r.type = char(bytes[8]);
  r.transferType = bytes[9];
  r.endpoint = bytes[10];
  r.device = bytes[11];
  r.bus = Get<UInt16>(bytes, 12);
  r.hasSetup = bytes[14] == 0;
  r.seconds = Get<SInt64>(bytes, 16);
  r.micros = Get<SInt32>(bytes, 24);
  r.status = Get<SInt32>(bytes, 28);
  r.length = Get<UInt32>(bytes, 32);
  r.dataLength = Get<UInt32>(bytes, 36);
  std::memcpy(r.setup, bytes + 40, 8);
  if (r.type != 'S' && r.type != 'C' && r.type != 'E') {
    *error = "unknown usbmon record type 0x" + std::to_string(unsigned(bytes[8]));
    return false;
  }
  if (r.transferType > kUsbmonBulk) {
    *error = "unknown transfer type " + std::to_string(r.transferType);
    return false;
  }
  size_t skip = header;
  if (linktype == kLinktypeUsbLinuxMmapped && r.transferType == kUsbmonIso) {
    const UInt32 descriptors = Get<UInt32>(bytes, 60);
    // Isochronous transfers are not the scanner's; their descriptors are only stepped over.
    if (descriptors > (size - header) / kIsoDescriptor) {
      *error = "ISO descriptors past the end of the record";
      return false;
    }
    skip += descriptors * kIsoDescriptor;
  }
  const size_t available = size - skip;
  const size_t take = r.dataLength < available ? r.dataLength : available;
  r.data.assign(bytes + skip, bytes + skip + take);
  *out = std::move(r);
  return true;
}

SInt32 UsbmonStatus(IOReturn status) {
  switch (status) {
    case kIOReturnSuccess: return 0;
    case kIOReturnTimeout: return kUsbmonTimedOut;
    case kIOReturnNoDevice: return kUsbmonNoDevice;
    case kIOUSBPipeStalled: return kUsbmonStalled;
    case kIOReturnOverrun: return kUsbmonOverflow;
    case kIOReturnAborted: return kUsbmonUnlinked;
    default: return kUsbmonIOError;
  }
}

IOReturn StatusFromUsbmon(SInt32 status) {
  switch (status) {
    case 0: return kIOReturnSuccess;
    case kUsbmonTimedOut:
    case kUsbmonUnlinked:
    case -104:  // ECONNRESET: unlinked asynchronously
      return kIOReturnTimeout;
    case kUsbmonNoDevice:
    case -108:  // ESHUTDOWN: the host controller let go of the device
      return kIOReturnNoDevice;
    case kUsbmonStalled: return kIOUSBPipeStalled;
    case kUsbmonOverflow: return kIOReturnOverrun;
    default: return kIOReturnError;
  }
}

}  // namespace usb
}  // namespace tarvell
