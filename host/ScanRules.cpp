#include "host/ScanRules.h"

#include <algorithm>
#include <cstdio>

#include "driver/ScannerCallbacks.h"
#include "platform/system/SystemInfo.h"

namespace tarvell::host {
namespace {

std::string Dpi(UInt32 resolution) { return std::to_string(resolution) + " dpi"; }

std::string Listed(const std::vector<UInt32>& resolutions) {
  std::string text;
  for (UInt32 r : resolutions) text += (text.empty() ? "" : ", ") + std::to_string(r);
  return text;
}

Page PageOf(ScanMode mode, UInt32 width, UInt32 height, UInt32 resolution) {
  return Page{mode, width, height, BytesPerLine(mode, width), resolution};
}

}  // namespace

size_t BytesPerLine(ScanMode mode, UInt32 width) {
  switch (mode) {
    case ScanMode::kLineart: return (size_t(width) + 7) / 8;
    case ScanMode::kGray: return width;
    default: return size_t(width) * 3;
  }
}

PageFormat::Kind KindOf(ScanMode mode) {
  return mode == ScanMode::kColor  ? PageFormat::kRGB
         : mode == ScanMode::kGray ? PageFormat::kGray
                                   : PageFormat::kBitmap;
}

ScanMode ModeOf(PageFormat::Kind kind) {
  return kind == PageFormat::kRGB ? ScanMode::kColor : kind == PageFormat::kGray ? ScanMode::kGray : ScanMode::kLineart;
}

std::vector<UInt32> ScanSpace::ResolutionsFor(ScanMode mode) const {
  std::vector<UInt32> list = resolutions;
  std::sort(list.begin(), list.end());
  if (mode == ScanMode::kColor)
    list.erase(std::remove_if(list.begin(), list.end(), [this](UInt32 r) { return r > colourMaximum; }), list.end());
  return list;
}

double ScanSpace::WidthMillimetres() const {
  return double(bedWidth) * tarvell::ica::kMillimetresPerInch / tarvell::ica::kUnitsPerInch;
}

double ScanSpace::HeightMillimetres() const {
  return double(bedHeight) * tarvell::ica::kMillimetresPerInch / tarvell::ica::kUnitsPerInch;
}

UInt32 ScaledLength(UInt32 length, UInt32 from, UInt32 to) {
  return from == 0 ? 0 : UInt32((UInt64(length) * to + from / 2) / from);
}

bool PlanScan(const ScanSpace& space, const Request& request, const DoorPolicy& policy, ScanPlan* plan,
              std::string* why) {
  auto refuse = [why](std::string text) {
    *why = std::move(text);
    return false;
  };
  using tarvell::ica::Units600;
  std::vector<UInt32> all = space.resolutions;
  std::sort(all.begin(), all.end());
  const std::vector<UInt32> colour = space.ResolutionsFor(ScanMode::kColor);
  if (all.empty() || colour.empty()) return refuse("the scanner offers no resolution");
  ScanPlan p;
  p.scan = request;

  // The resolution: one the device lists, or the next step up.
  const UInt32 asked = request.resolution;
  UInt32 scanned = asked;
  if (std::find(all.begin(), all.end(), asked) == all.end()) {
    if (policy.unlisted == DoorPolicy::Unlisted::kRefuse || asked < all.front() || asked > all.back())
      return refuse(Dpi(asked) + " is not offered: give one of " + Listed(all) + " dpi");
    scanned = *std::lower_bound(all.begin(), all.end(), asked);
  }
  UInt32 delivered = scanned;  // the resolution of the page the user gets
  if (request.mode == ScanMode::kColor && scanned > colour.back()) {
    switch (policy.colourAbove) {
      case DoorPolicy::ColourAbove::kRefuse: return refuse("colour is scanned at " + Dpi(colour.back()) + " at most");
      case DoorPolicy::ColourAbove::kScanAtMaximum:
        p.notice = "colour is scanned at " + Dpi(colour.back()) + " at most: ";
        delivered = colour.back();
        break;
      case DoorPolicy::ColourAbove::kScaleUp: break;
    }
    scanned = colour.back();
  }
  if (scanned != asked && delivered != asked) p.notice += Dpi(asked) + " is scanned at " + Dpi(scanned);
  p.scan.resolution = scanned;

  // The area: on the glass, or trimmed to it.
  const bool offX = Units600(request.left + request.width) > SInt32(space.bedWidth);
  const bool offY = Units600(request.top + request.height) > SInt32(space.bedHeight);
  if (offX || offY) {
    if (policy.offGlass == DoorPolicy::OffGlass::kRefuse) {
      char glass[64];
      std::snprintf(glass, sizeof glass, "%.1f x %.1f mm", space.WidthMillimetres(), space.HeightMillimetres());
      return refuse(std::string("the scan area leaves the glass (") + glass + ")");
    }
    if (offX) p.scan.width = std::max(0.0, space.WidthMillimetres() - request.left);
    if (offY) p.scan.height = std::max(0.0, space.HeightMillimetres() - request.top);
  }

  // The page, as the driver will round the area and the device deliver it.
  UInt32 width = 0, height = 0;
  const SInt32 system = HostSystemVersion();
  if (!PredictImageSize(tarvell::ica::MakeScanSettings(p.scan, system), system, &width, &height) || width == 0 ||
      height == 0)
    return refuse("the scan area holds no pixel at " + Dpi(scanned));
  const UInt32 atDevice = tarvell::device::DeviceResolution(scanned, request.mode == ScanMode::kColor);
  p.scanned = PageOf(request.mode, width, height, atDevice);
  p.page = delivered == atDevice ? p.scanned
                                 : PageOf(request.mode, ScaledLength(width, atDevice, delivered),
                                          ScaledLength(height, atDevice, delivered), delivered);
  *plan = std::move(p);
  return true;
}

}  // namespace tarvell::host
