#include "sane/SaneOptions.h"

#include <sane/saneopts.h>
#include <strings.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/ica/ScanSettings.h"
#include "platform/system/SystemInfo.h"

namespace tarvell::sane {
namespace {

// The longest mode name and its terminating zero: the size of the "mode" value.
constexpr SANE_Int kModeValueSize = 16;

SANE_Fixed MillimetresOf(UInt32 units600) {
  return SANE_FIX(double(units600) * tarvell::ica::kMillimetresPerInch / tarvell::ica::kUnitsPerInch);
}

}  // namespace

const char* ModeName(ScanMode mode) {
  switch (mode) {
    case ScanMode::kLineart: return SANE_VALUE_SCAN_MODE_LINEART;
    case ScanMode::kGray: return SANE_VALUE_SCAN_MODE_GRAY;
    default: return SANE_VALUE_SCAN_MODE_COLOR;
  }
}

tarvell::host::Request RequestOf(const ScanSettings& settings) {
  tarvell::host::Request request;
  request.mode = settings.mode;
  request.resolution = UInt32(settings.resolution);
  request.left = SANE_UNFIX(settings.tlX);
  request.top = SANE_UNFIX(settings.tlY);
  request.width = std::max(0.0, SANE_UNFIX(settings.brX) - request.left);
  request.height = std::max(0.0, SANE_UNFIX(settings.brY) - request.top);
  return request;
}

plist::DictionaryRef SettingsDictionary(const ScanSettings& settings) {
  return tarvell::ica::MakeScanSettings(RequestOf(settings), HostSystemVersion());
}

AreaRequest AreaFromSettings(const ScanSettings& s) {
  AreaRequest area;
  plist::DictionaryRef dict = SettingsDictionary(s);
  plist::DictionaryRef sent = dict ? plist::AsDictionary(dict->Get("userScanArea")) : nullptr;
  using tarvell::ica::CapabilityValue;
  // The settings dictionary's dialect holds the mode as a record or as flat keys.
  area.pixelType = CapabilityValue(sent, "ICAP_PIXELTYPE", s.mode);
  area.bitDepth = CapabilityValue(sent, "ICAP_BITDEPTH", CapabilityValue(sent, "bitDepth", 8));
  area.resolution = CapabilityValue(sent, "ICAP_XRESOLUTION", CapabilityValue(sent, "resolutionX", s.resolution));
  area.offsetX = CapabilityValue(sent, "offsetX", 0);
  area.offsetY = CapabilityValue(sent, "offsetY", 0);
  area.width = std::max(0, CapabilityValue(sent, "width", 0));
  area.height = std::max(0, CapabilityValue(sent, "height", 0));
  return area;
}

SANE_Parameters ParametersFor(ScanMode mode, SANE_Int width, SANE_Int height) {
  SANE_Parameters p{};
  p.format = mode == ScanMode::kColor ? SANE_FRAME_RGB : SANE_FRAME_GRAY;
  p.last_frame = SANE_TRUE;
  p.depth = mode == ScanMode::kLineart ? 1 : 8;
  p.pixels_per_line = std::max<SANE_Int>(width, 0);
  p.lines = std::max<SANE_Int>(height, 0);
  p.bytes_per_line = SANE_Int(tarvell::host::BytesPerLine(mode, UInt32(p.pixels_per_line)));
  if (p.pixels_per_line == 0 || p.lines == 0) p.pixels_per_line = p.lines = p.bytes_per_line = 0;
  return p;
}

bool PlanFor(const ScanSettings& settings, const ScanSpace& space, tarvell::host::ScanPlan* plan, std::string* why) {
  return tarvell::host::PlanScan(space, RequestOf(settings), tarvell::host::kSanePolicy, plan, why);
}

SANE_Parameters PredictParameters(const ScanSettings& s, const ScanSpace& space) {
  tarvell::host::ScanPlan plan;
  std::string why;
  if (!PlanFor(s, space, &plan, &why)) return ParametersFor(s.mode, 0, 0);
  return ParametersFor(s.mode, SANE_Int(plan.page.width), SANE_Int(plan.page.height));
}

OptionSet::OptionSet(const ScanSpace& space) : space_(space) {
  if (space_.resolutions.empty() || space_.ResolutionsFor(ScanMode::kColor).empty()) space_ = ScanSpace();
  for (ScanMode mode : {ScanMode::kGray, ScanMode::kColor}) {
    const std::vector<UInt32> listed = space_.ResolutionsFor(mode);
    std::vector<SANE_Word>& list = mode == ScanMode::kColor ? colourResolutionList_ : resolutionList_;
    list.push_back(SANE_Word(listed.size()));
    list.insert(list.end(), listed.begin(), listed.end());
  }
  modeList_ = {SANE_VALUE_SCAN_MODE_LINEART, SANE_VALUE_SCAN_MODE_GRAY, SANE_VALUE_SCAN_MODE_COLOR, nullptr};
  xRange_ = {0, MillimetresOf(space_.bedWidth), 0};
  yRange_ = {0, MillimetresOf(space_.bedHeight), 0};

  values_.mode = ScanMode::kColor;
  values_.resolution = NearestResolution(150);
  values_.tlX = values_.tlY = 0;
  values_.brX = xRange_.max;
  values_.brY = yRange_.max;
  Update();

  descriptors_.resize(kOptionCount);
  for (SANE_Option_Descriptor& d : descriptors_) d = SANE_Option_Descriptor{};
  // One descriptor; options are set by software and readable (groups have no value).
  auto describe = [](SANE_Option_Descriptor& d, const char* name, const char* title, const char* desc,
                     SANE_Value_Type type, SANE_Unit unit, SANE_Int size,
                     SANE_Constraint_Type constraint = SANE_CONSTRAINT_NONE) {
    d.name = name;
    d.title = title;
    d.desc = desc;
    d.type = type;
    d.unit = unit;
    d.size = size;
    d.cap = type == SANE_TYPE_GROUP ? 0 : SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;
    d.constraint_type = constraint;
  };
  describe(descriptors_[kOptCount], SANE_NAME_NUM_OPTIONS, SANE_TITLE_NUM_OPTIONS, SANE_DESC_NUM_OPTIONS, SANE_TYPE_INT,
           SANE_UNIT_NONE, sizeof(SANE_Word));
  descriptors_[kOptCount].cap = SANE_CAP_SOFT_DETECT;  // read only
  describe(descriptors_[kOptStandardGroup], SANE_NAME_STANDARD, SANE_TITLE_STANDARD, SANE_DESC_STANDARD,
           SANE_TYPE_GROUP, SANE_UNIT_NONE, 0);
  describe(descriptors_[kOptGeometryGroup], SANE_NAME_GEOMETRY, SANE_TITLE_GEOMETRY, SANE_DESC_GEOMETRY,
           SANE_TYPE_GROUP, SANE_UNIT_NONE, 0);
  describe(descriptors_[kOptMode], SANE_NAME_SCAN_MODE, SANE_TITLE_SCAN_MODE, SANE_DESC_SCAN_MODE, SANE_TYPE_STRING,
           SANE_UNIT_NONE, kModeValueSize, SANE_CONSTRAINT_STRING_LIST);
  descriptors_[kOptMode].constraint.string_list = modeList_.data();
  describe(descriptors_[kOptResolution], SANE_NAME_SCAN_RESOLUTION, SANE_TITLE_SCAN_RESOLUTION,
           SANE_DESC_SCAN_RESOLUTION, SANE_TYPE_INT, SANE_UNIT_DPI, sizeof(SANE_Word), SANE_CONSTRAINT_WORD_LIST);
  ListResolutionsOfMode();
  describe(descriptors_[kOptPreview], SANE_NAME_PREVIEW, SANE_TITLE_PREVIEW, SANE_DESC_PREVIEW, SANE_TYPE_BOOL,
           SANE_UNIT_NONE, sizeof(SANE_Word));
  const struct {
    OptionIndex index;
    const char *name, *title, *desc;
    const SANE_Range* range;
  } corners[] = {{kOptTlX, SANE_NAME_SCAN_TL_X, SANE_TITLE_SCAN_TL_X, SANE_DESC_SCAN_TL_X, &xRange_},
                 {kOptTlY, SANE_NAME_SCAN_TL_Y, SANE_TITLE_SCAN_TL_Y, SANE_DESC_SCAN_TL_Y, &yRange_},
                 {kOptBrX, SANE_NAME_SCAN_BR_X, SANE_TITLE_SCAN_BR_X, SANE_DESC_SCAN_BR_X, &xRange_},
                 {kOptBrY, SANE_NAME_SCAN_BR_Y, SANE_TITLE_SCAN_BR_Y, SANE_DESC_SCAN_BR_Y, &yRange_}};
  for (const auto& c : corners) {
    describe(descriptors_[c.index], c.name, c.title, c.desc, SANE_TYPE_FIXED, SANE_UNIT_MM, sizeof(SANE_Word),
             SANE_CONSTRAINT_RANGE);
    descriptors_[c.index].constraint.range = c.range;
  }
}

const SANE_Option_Descriptor* OptionSet::Descriptor(SANE_Int index) const {
  if (index < 0 || index >= kOptionCount) return nullptr;
  return &descriptors_[size_t(index)];
}

void OptionSet::Update() {
  settings_ = values_;
  if (settings_.tlX > settings_.brX) std::swap(settings_.tlX, settings_.brX);
  if (settings_.tlY > settings_.brY) std::swap(settings_.tlY, settings_.brY);
  if (preview_) settings_.resolution = resolutionList_[1];
}

bool OptionSet::ListResolutionsOfMode() {
  const SANE_Word* list = values_.mode == ScanMode::kColor ? colourResolutionList_.data() : resolutionList_.data();
  SANE_Option_Descriptor& d = descriptors_[kOptResolution];
  const bool changed = d.constraint.word_list != list;
  d.constraint.word_list = list;
  return changed;
}

SANE_Word OptionSet::NearestResolution(SANE_Word asked) const {
  const std::vector<SANE_Word>& list = values_.mode == ScanMode::kColor ? colourResolutionList_ : resolutionList_;
  SANE_Word best = list[1];
  for (size_t i = 1; i < list.size(); ++i)
    if (std::abs(int64_t(list[i]) - asked) < std::abs(int64_t(best) - asked)) best = list[i];
  return best;
}

SANE_Status OptionSet::Control(SANE_Int index, SANE_Action action, void* value, SANE_Int* info) {
  if (info) *info = 0;
  if (index < 0 || index >= kOptionCount || value == nullptr) return SANE_STATUS_INVAL;
  const SANE_Option_Descriptor& d = descriptors_[size_t(index)];
  if (d.type == SANE_TYPE_GROUP || (d.cap & SANE_CAP_INACTIVE)) return SANE_STATUS_INVAL;

  SANE_Fixed* coordinate = index == kOptTlX   ? &values_.tlX
                           : index == kOptTlY ? &values_.tlY
                           : index == kOptBrX ? &values_.brX
                           : index == kOptBrY ? &values_.brY
                                              : nullptr;
  if (action == SANE_ACTION_GET_VALUE) {
    switch (index) {
      case kOptCount: *static_cast<SANE_Word*>(value) = kOptionCount; break;
      case kOptMode: std::strncpy(static_cast<char*>(value), ModeName(values_.mode), kModeValueSize); break;
      case kOptResolution: *static_cast<SANE_Word*>(value) = values_.resolution; break;
      case kOptPreview: *static_cast<SANE_Word*>(value) = preview_ ? SANE_TRUE : SANE_FALSE; break;
      default: *static_cast<SANE_Word*>(value) = *coordinate; break;
    }
    return SANE_STATUS_GOOD;
  }
  if (action != SANE_ACTION_SET_VALUE || !(d.cap & SANE_CAP_SOFT_SELECT)) return SANE_STATUS_INVAL;

  SANE_Int flags = SANE_INFO_RELOAD_PARAMS;
  if (index == kOptMode) {
    // The frontend's text need not end inside the value; a unique prefix, in any case, will do,
    // and an exact name wins over the longer names it begins.
    char* text = static_cast<char*>(value);
    const size_t length = strnlen(text, kModeValueSize);
    if (length == kModeValueSize) return SANE_STATUS_INVAL;
    const ScanMode modes[] = {ScanMode::kLineart, ScanMode::kGray, ScanMode::kColor};
    const ScanMode* found = nullptr;
    int matches = 0;
    for (const ScanMode& m : modes) {
      if (strncasecmp(text, ModeName(m), length) != 0) continue;
      if (std::strlen(ModeName(m)) == length) {
        found = &m;
        matches = 1;
        break;
      }
      found = &m;
      ++matches;
    }
    if (length == 0 || matches != 1) return SANE_STATUS_INVAL;
    if (std::strcmp(text, ModeName(*found)) != 0) {
      std::strncpy(text, ModeName(*found), kModeValueSize);
      flags |= SANE_INFO_INEXACT;
    }
    values_.mode = *found;
    // The resolutions follow the mode: one the new mode does not scan at snaps to the nearest it does.
    if (ListResolutionsOfMode()) flags |= SANE_INFO_RELOAD_OPTIONS;
    const SANE_Word snapped = NearestResolution(values_.resolution);
    if (snapped != values_.resolution) {
      values_.resolution = snapped;
      flags |= SANE_INFO_RELOAD_OPTIONS;
    }
  } else if (index == kOptResolution) {
    SANE_Word& asked = *static_cast<SANE_Word*>(value);
    const SANE_Word best = NearestResolution(asked);
    if (best != asked) {
      asked = best;
      flags |= SANE_INFO_INEXACT;
    }
    values_.resolution = best;
  } else if (index == kOptPreview) {
    const SANE_Word asked = *static_cast<const SANE_Word*>(value);
    if (asked != SANE_TRUE && asked != SANE_FALSE) return SANE_STATUS_INVAL;
    preview_ = asked == SANE_TRUE;
  } else {
    SANE_Fixed& asked = *static_cast<SANE_Fixed*>(value);
    const SANE_Range* range = d.constraint.range;
    const SANE_Fixed clamped = std::clamp(asked, range->min, range->max);
    if (clamped != asked) {
      asked = clamped;
      flags |= SANE_INFO_INEXACT;
    }
    *coordinate = clamped;
  }
  Update();
  if (info) *info = flags;
  return SANE_STATUS_GOOD;
}

}  // namespace tarvell::sane
