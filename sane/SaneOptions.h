// The backend's options, as every frontend knows them ("mode", "resolution", "tl-x", "tl-y",
// "br-x", "br-y" in their standard units), and what a scan with the chosen values asks of the
// driver and gets back from the device.
#pragma once

#include <sane/sane.h>

#include <string>
#include <vector>

#include "host/ScanRules.h"
#include "platform/plist/PropertyList.h"
#include "platform/system/Types.h"

namespace tarvell::sane {

using tarvell::host::ScanMode;
using tarvell::host::ScanSpace;

// The option values of one scan.
struct ScanSettings {
  ScanMode mode = ScanMode::kColor;
  SANE_Int resolution = 150;
  SANE_Fixed tlX = 0, tlY = 0, brX = 0, brY = 0;  // millimetres
  bool operator==(const ScanSettings& o) const {
    return mode == o.mode && resolution == o.resolution && tlX == o.tlX && tlY == o.tlY && brX == o.brX && brY == o.brY;
  }
};

// The scan area as this host hands it to the driver (the numbers of its "userScanArea").
struct AreaRequest {
  SInt32 pixelType = 2;  // 0 line art, 1 grey, 2 colour
  SInt32 bitDepth = 8;
  SInt32 resolution = 150;
  SInt32 offsetX = 0;  // 1/600 inch
  SInt32 offsetY = 0;  // 1/600 inch
  SInt32 width = 0;    // pixels at the resolution
  SInt32 height = 0;   // pixels at the resolution
};

AreaRequest AreaFromSettings(const ScanSettings& settings);
// The request `settings` make, in the words every door uses.
tarvell::host::Request RequestOf(const ScanSettings& settings);
// The set-parameters dictionary for `settings`, as every host of the driver makes it, in the
// dialect the system version selects. Null when memory runs out.
plist::DictionaryRef SettingsDictionary(const ScanSettings& settings);

// What a scan with `settings` on `space` is, by the rule every door follows under SANE's policy;
// false with *why when it is not one (an empty area, or a resolution the mode does not offer).
bool PlanFor(const ScanSettings& settings, const ScanSpace& space, tarvell::host::ScanPlan* plan, std::string* why);
// The image a scan with `settings` delivers, as the driver predicts it (its rounding of the area,
// then the device's resolution and glass). lines and pixels_per_line are 0 when nothing would be
// scanned.
SANE_Parameters PredictParameters(const ScanSettings& settings, const ScanSpace& space = ScanSpace());
// Parameters of an image of `width` x `height` pixels in `mode`.
SANE_Parameters ParametersFor(ScanMode mode, SANE_Int width, SANE_Int height);

// Option numbers. 0 is the option count; groups have no value.
enum OptionIndex : SANE_Int {
  kOptCount,
  kOptStandardGroup,
  kOptMode,
  kOptResolution,
  kOptPreview,
  kOptGeometryGroup,
  kOptTlX,
  kOptTlY,
  kOptBrX,
  kOptBrY,
  kOptionCount
};

// Descriptors and values of one open device. Descriptor pointers stay valid as long as the set.
class OptionSet {
 public:
  explicit OptionSet(const ScanSpace& space);
  OptionSet(const OptionSet&) = delete;
  OptionSet& operator=(const OptionSet&) = delete;

  // Null for an index out of range.
  const SANE_Option_Descriptor* Descriptor(SANE_Int index) const;
  // sane_control_option, by the rules frontends rely on: a number outside its range or between
  // the listed values is set to the nearest admissible one, written back into `value` and
  // reported with SANE_INFO_INEXACT; a mode is matched ignoring case (a unique prefix will do)
  // and its listed spelling written back. The resolutions listed are the mode's: a mode that
  // lists others reports SANE_INFO_RELOAD_OPTIONS, and snaps a resolution it does not offer to
  // the nearest it does. SANE_STATUS_INVAL for an unknown option, a group, an
  // inactive option, a string or boolean that is not admissible, or an unsupported action.
  // *info (when given) gets the SANE_INFO_* flags. `value` is exactly the option's size.
  SANE_Status Control(SANE_Int index, SANE_Action action, void* value, SANE_Int* info);

  // What a scan uses: the corners in order (frontends set them one at a time, so they may be
  // crossed for a while) and, for a preview, the device's lowest resolution.
  const ScanSettings& settings() const { return settings_; }

 private:
  void Update();
  // Points the resolution's constraint at the list of values_.mode; true when that changed it.
  bool ListResolutionsOfMode();
  // The nearest of the mode's resolutions to `asked` (the lower on a tie).
  SANE_Word NearestResolution(SANE_Word asked) const;

  ScanSpace space_;
  ScanSettings values_;  // as the frontend set them
  bool preview_ = false;
  ScanSettings settings_;  // as scanned
  std::vector<SANE_Option_Descriptor> descriptors_;
  // Count first, as SANE word lists are: every resolution, and those colour is scanned at.
  std::vector<SANE_Word> resolutionList_;
  std::vector<SANE_Word> colourResolutionList_;
  std::vector<SANE_String_Const> modeList_;  // null-terminated
  SANE_Range xRange_{};
  SANE_Range yRange_{};
};

const char* ModeName(ScanMode mode);

}  // namespace tarvell::sane
