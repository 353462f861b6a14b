#include "platform/ica/ScanSettings.h"

#include <cmath>

#include "platform/system/SystemInfo.h"

namespace tarvell {
namespace ica {

SInt32 Pixels(double millimetres, UInt32 dpi) {
  return static_cast<SInt32>(std::llround(millimetres / kMillimetresPerInch * dpi));
}

SInt32 Units600(double millimetres) {
  return static_cast<SInt32>(std::llround(millimetres / kMillimetresPerInch * kUnitsPerInch));
}

SInt32 CapabilityValue(const plist::DictionaryRef& device, const char* key, SInt32 fallback) {
  if (!device) return fallback;
  plist::ValueRef value = device->Get(key);
  if (plist::DictionaryRef record = plist::AsDictionary(value)) value = record->Get("value");
  plist::NumberRef number = plist::AsNumber(value);
  return number ? number->AsInt32() : fallback;
}

bool GlassSize(const plist::DictionaryRef& device, UInt32* width, UInt32* height) {
  const SInt32 native = CapabilityValue(device, "ICAP_XNATIVERESOLUTION", CapabilityValue(device, "resolutionX", 0));
  const SInt32 w = CapabilityValue(device, "ICAP_PHYSICALWIDTH", CapabilityValue(device, "tabletWidth", 0));
  const SInt32 h = CapabilityValue(device, "ICAP_PHYSICALHEIGHT", CapabilityValue(device, "tabletHeight", 0));
  if (native <= 0 || w <= 0 || h <= 0) return false;
  *width = UInt32(int64_t(w) * kUnitsPerInch / native);
  *height = UInt32(int64_t(h) * kUnitsPerInch / native);
  return true;
}

plist::DictionaryRef MakeScanSettings(const ScanArea& request, SInt32 systemVersion) {
  const SInt32 offsetX = Units600(request.left);
  const SInt32 offsetY = Units600(request.top);
  const SInt32 width = Pixels(request.width, request.resolution);
  const SInt32 height = Pixels(request.height, request.resolution);
  const SInt32 depth = request.mode == ScanArea::kLineart ? 1 : 8;
  plist::DictionaryRef area = plist::MakeDictionary();
  if (!area) return nullptr;
  if (UsesCapabilityDialect(systemVersion)) {
    auto one = [](plist::ValueRef value) {
      plist::DictionaryRef record = plist::MakeDictionary();
      if (record) {
        record->Set("type", plist::MakeString("TWON_ONEVALUE"));
        record->Set("value", std::move(value));
      }
      return record;
    };
    const SInt32 pixelType = request.mode == ScanArea::kLineart ? 0 : request.mode == ScanArea::kGray ? 1 : 2;
    area->Set("ICAP_PIXELTYPE", one(plist::MakeInteger(pixelType)));
    area->Set("ICAP_BITDEPTH", one(plist::MakeInteger(depth)));
    area->Set("ICAP_XSCALING", one(plist::MakeFloat(request.scale / 100.0f)));
    area->Set("ICAP_YSCALING", one(plist::MakeFloat(request.scale / 100.0f)));
    area->Set("ICAP_XRESOLUTION", one(plist::MakeInteger(SInt32(request.resolution))));
    area->Set("ICAP_YRESOLUTION", one(plist::MakeInteger(SInt32(request.resolution))));
  } else {
    area->Set("colorMode", plist::MakeInteger(request.mode == ScanArea::kColor ? 1 : 10));
    area->Set("bitDepth", plist::MakeInteger(depth));
    area->Set("scaling", plist::MakeFloat(float(request.scale)));
    area->Set("resolutionX", plist::MakeInteger(SInt32(request.resolution)));
    area->Set("resolutionY", plist::MakeInteger(SInt32(request.resolution)));
  }
  area->Set("offsetX", plist::MakeInteger(offsetX));
  area->Set("offsetY", plist::MakeInteger(offsetY));
  area->Set("width", plist::MakeInteger(width));
  area->Set("height", plist::MakeInteger(height));
  plist::DictionaryRef settings = plist::MakeDictionary();
  if (settings) settings->Set("userScanArea", area);
  return settings;
}

}  // namespace ica
}  // namespace tarvell
