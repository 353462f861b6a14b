// What is fixed about the Tarvell K310 (USB): its USB identity, the endpoints of its scan
// protocol, the glass, and the resolutions it scans at. Every part of the host side that needs
// one of these reads it here.
#pragma once

#include <array>

#include "platform/system/Types.h"

namespace tarvell::device {

constexpr UInt16 kVendorID = 0x2B7E;
constexpr UInt16 kProductID = 0x0C5A;
constexpr char kModelName[] = "Tarvell K310 (USB)";

// Bulk endpoints of the scan protocol (numbers; the IN ones have 0x80 set in their address).
constexpr UInt8 kRequestEndpoint = 2;  // OUT: control packets with method calls
constexpr UInt8 kReplyEndpoint = 11;   // IN: control replies
constexpr UInt8 kImageEndpoint = 8;    // IN: the image stream

// The glass in 1/600 inch: 8.5 x 11.69 inch.
constexpr UInt32 kNativeResolution = 600;
constexpr UInt32 kGlassWidth = 5100;
constexpr UInt32 kGlassHeight = 7014;

// The resolutions the device scans at, ascending; colour goes up to kColourMaxResolution.
constexpr std::array<UInt32, 6> kResolutions = {75, 150, 200, 300, 400, 600};
constexpr UInt32 kColourMaxResolution = 300;

// The resolution the device scans at when asked for `requested`: the next step of its own
// (the highest for anything above), and at most kColourMaxResolution in colour.
constexpr UInt32 DeviceResolution(UInt32 requested, bool colour) {
  UInt32 sent = kResolutions.back();
  for (UInt32 step : kResolutions)
    if (requested <= step) {
      sent = step;
      break;
    }
  return colour && requested > kColourMaxResolution ? kColourMaxResolution : sent;
}

// The glass's extent in pixels at `resolution`, rounded up.
constexpr UInt32 GlassPixels(UInt32 units600, UInt32 resolution) {
  return UInt32((UInt64(units600) * resolution + kNativeResolution - 1) / kNativeResolution);
}

}  // namespace tarvell::device
