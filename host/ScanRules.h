// What a request means, for every door alike: the device's scan space (its modes, the resolutions
// of each, the glass) and the one rule that turns a request (mode, resolution, area) into the scan
// the device does and the page the user gets. A door states its policy on the rule (DoorPolicy)
// and translates only its own vocabulary; no door labels a page with a resolution it was not
// scanned at.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "host/PageStream.h"
#include "platform/ica/ScanSettings.h"
#include "platform/system/Types.h"
#include "usb/DeviceFacts.h"

namespace tarvell::host {

// The scan modes, one enumeration for every door.
using ScanMode = tarvell::ica::ScanArea::Mode;

// The device's facts a door names.
using tarvell::device::kModelName;
using tarvell::device::kProductID;
using tarvell::device::kVendorID;

// Bytes in one row of `width` pixels: packed bits for line art, a byte for grey, three for colour.
size_t BytesPerLine(ScanMode mode, UInt32 width);
// A mode and the kind of page the device streams for it.
PageFormat::Kind KindOf(ScanMode mode);
ScanMode ModeOf(PageFormat::Kind kind);

// What the device can scan, as the driver reports it; the device's facts where it says nothing.
struct ScanSpace {
  UInt32 bedWidth = tarvell::device::kGlassWidth;    // 1/600 inch
  UInt32 bedHeight = tarvell::device::kGlassHeight;  // 1/600 inch
  std::vector<UInt32> resolutions{tarvell::device::kResolutions.begin(), tarvell::device::kResolutions.end()};
  UInt32 colourMaximum = tarvell::device::kColourMaxResolution;  // colour is scanned at no more

  // The resolutions the device scans `mode` at, ascending.
  std::vector<UInt32> ResolutionsFor(ScanMode mode) const;
  // The glass in millimetres.
  double WidthMillimetres() const;
  double HeightMillimetres() const;
};

// A request as any door puts it: mode, resolution and an area in millimetres from the glass's
// top-left corner (and a scale in percent, which only the command line offers).
using Request = tarvell::ica::ScanArea;

// The page a user gets.
struct Page {
  ScanMode mode = ScanMode::kColor;
  UInt32 width = 0;  // pixels
  UInt32 height = 0;
  size_t bytesPerLine = 0;
  UInt32 resolution = 0;  // dots per inch the pixels are at
  bool operator==(const Page& o) const {
    return mode == o.mode && width == o.width && height == o.height && bytesPerLine == o.bytesPerLine &&
           resolution == o.resolution;
  }
};

// What a door does with a request the device cannot scan exactly.
struct DoorPolicy {
  // A resolution the device does not list: refused, or scanned at its next step up (within the
  // lowest and highest) and said so.
  enum class Unlisted { kRefuse, kSnapUp } unlisted = Unlisted::kRefuse;
  // Colour above the colour maximum: refused, scanned at the maximum (and said so), or scanned at
  // the maximum and scaled up to the resolution asked for.
  enum class ColourAbove { kRefuse, kScanAtMaximum, kScaleUp } colourAbove = ColourAbove::kRefuse;
  // An area that leaves the glass: refused, or trimmed to it.
  enum class OffGlass { kRefuse, kTrim } offGlass = OffGlass::kRefuse;
};

// The doors' policies, each in one place.
// Command line: any resolution from the lowest to the highest, snapped up and said; colour above
// the maximum scanned at the maximum and said; an area off the glass refused.
constexpr DoorPolicy kCommandLinePolicy{DoorPolicy::Unlisted::kSnapUp, DoorPolicy::ColourAbove::kScanAtMaximum,
                                        DoorPolicy::OffGlass::kRefuse};
// SANE: its options offer only what the device scans in each mode (values in between snap to the
// nearest offered there) and keep the corners on the glass.
constexpr DoorPolicy kSanePolicy{DoorPolicy::Unlisted::kRefuse, DoorPolicy::ColourAbove::kRefuse,
                                 DoorPolicy::OffGlass::kTrim};
// eSCL: exactly the listed resolutions in every mode, colour above the maximum scanned at the
// maximum and scaled up, a region trimmed to the glass.
constexpr DoorPolicy kEsclPolicy{DoorPolicy::Unlisted::kRefuse, DoorPolicy::ColourAbove::kScaleUp,
                                 DoorPolicy::OffGlass::kTrim};

// What a request turns into.
struct ScanPlan {
  Request scan;  // as the driver gets it: the device's resolution, the area on the glass
  Page scanned;  // what the device delivers, as the driver predicts it
  Page page;     // what the user gets: `scanned`, or it scaled up from scanned.resolution to page.resolution
  // What differs from the request, for the user ("250 dpi is scanned at 300 dpi"); empty when
  // nothing does.
  std::string notice;
  bool scaled() const { return page.resolution != scanned.resolution; }
};

// A length of `length` pixels at `from` dpi, scaled to `to` dpi (rounded to the nearest).
UInt32 ScaledLength(UInt32 length, UInt32 from, UInt32 to);

// The one rule: what `request` means on `space` under `policy`. False with *why (for a person)
// when the door refuses it or the area holds no pixel.
bool PlanScan(const ScanSpace& space, const Request& request, const DoorPolicy& policy, ScanPlan* plan,
              std::string* why);

}  // namespace tarvell::host
