// The scan settings a host hands to the module: one area in millimetres, a resolution, a mode
// and a scale, as the "userScanArea" dictionary of the set-parameters callback.
#pragma once

#include "platform/plist/PropertyList.h"
#include "platform/system/Types.h"

namespace tarvell {
namespace ica {

constexpr double kMillimetresPerInch = 25.4;
// A scan area's offsets are given in 1/600 inch.
constexpr UInt32 kUnitsPerInch = 600;

struct ScanArea {
  enum Mode { kLineart, kGray, kColor } mode = kColor;
  UInt32 resolution = 300;   // dots per inch
  double left = 0, top = 0;  // millimetres from the glass's top-left corner
  double width = 215.9;      // millimetres (letter: 8.5 x 11 inch)
  double height = 279.4;
  UInt32 scale = 100;  // percent
};

// Millimetres as pixels at `dpi`, and as 1/600 inch, rounded to the nearest.
SInt32 Pixels(double millimetres, UInt32 dpi);
SInt32 Units600(double millimetres);

// The number under `key` in a capability dictionary's "device" entry (`device`), in either
// dialect: capability records carry it under "value", the flat dialect plain. `fallback` when
// there is none.
SInt32 CapabilityValue(const plist::DictionaryRef& device, const char* key, SInt32 fallback);

// The glass in 1/600 inch as a capability dictionary's "device" entry gives it, in either dialect
// (its size at its native resolution); false when it gives none.
bool GlassSize(const plist::DictionaryRef& device, UInt32* width, UInt32* height);

// The settings dictionary for `area` in the dialect `systemVersion` selects (flat keys, or
// capability records: UsesCapabilityDialect). Offsets go in 1/600 inch, sizes in pixels at the
// resolution.
// Null when memory runs out.
plist::DictionaryRef MakeScanSettings(const ScanArea& area, SInt32 systemVersion);

}  // namespace ica
}  // namespace tarvell
