// The capability dictionary the host reads, and the scan areas it sets, in the two dictionary
// dialects: flat keys up to system 10.2, capability records from 10.3 on.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>

#include "driver/CallbackGuard.h"
#include "driver/ScannerCallbacks.h"
#include "platform/system/Log.h"
#include "platform/system/SystemInfo.h"
#include "usb/DeviceFacts.h"
#include "usb/ScanJob.h"

namespace {

// Bed geometry in 1/600 inch (pixels at the native resolution).
constexpr UInt32 kBedWidth = tarvell::device::kGlassWidth;
constexpr UInt32 kBedLength = tarvell::device::kGlassHeight;
constexpr SInt32 kMaxScanAreas = 255;
using tarvell::device::kNativeResolution;

// Float-to-unsigned conversions saturate: a negative, NaN or huge value from the host must not
// be undefined behaviour.
UInt32 TruncateToUInt32(double value) {
  if (!(value > 0)) return 0;
  if (value >= 4294967295.0) return UINT32_MAX;
  return static_cast<UInt32>(value);
}
UInt16 TruncateToUInt16(double value) {
  if (!(value > 0)) return 0;
  if (value >= 65535.0) return UINT16_MAX;
  return static_cast<UInt16>(value);
}

UInt32 RoundUpToMultipleOf8(UInt32 value) { return value > UINT32_MAX - 7 ? UINT32_MAX & ~7u : (value + 7) & ~7u; }
UInt32 RoundDownToMultipleOf8(UInt32 value) { return value & ~7u; }

// A plain number under `key`: 1 read, 0 absent, -1 present but not a number.
int ReadPlainInt(const plist::Dictionary& area, const char* key, SInt32* out) {
  plist::ValueRef value = area.Get(key);
  if (!value) return 0;
  plist::NumberRef number = plist::AsNumber(value);
  if (!number) return -1;
  *out = number->AsInt32();
  return 1;
}
int ReadPlainFloat(const plist::Dictionary& area, const char* key, Float32* out) {
  plist::ValueRef value = area.Get(key);
  if (!value) return 0;
  plist::NumberRef number = plist::AsNumber(value);
  if (!number) return -1;
  *out = number->AsFloat32();
  return 1;
}

// The number a capability record holds now, or null when it cannot be read.
plist::NumberRef CurrentCapabilityValue(const plist::ValueRef& record) {
  plist::DictionaryRef dict = plist::AsDictionary(record);
  if (!dict) return nullptr;
  plist::StringRef type = plist::AsString(dict->Get("type"));
  if (!type) return nullptr;
  if (type->value() == "TWON_ENUMERATION") {
    plist::NumberRef current = plist::AsNumber(dict->Get("current"));
    plist::ArrayRef values = plist::AsArray(dict->Get("value"));
    if (!current || !values) return nullptr;
    SInt32 index = current->AsInt32();
    if (index < 0 || static_cast<size_t>(index) >= values->Count()) return nullptr;
    return plist::AsNumber(values->At(static_cast<size_t>(index)));
  }
  if (type->value() == "TWON_ONEVALUE") return plist::AsNumber(dict->Get("value"));
  return nullptr;
}

// Records of the capability dialect; each maker returns null when a container cannot be made.
plist::DictionaryRef MakeRecord(const char* type) {
  plist::DictionaryRef record = plist::MakeDictionary();
  if (record) record->Set("type", plist::MakeString(type));
  return record;
}

plist::DictionaryRef MakeOneValue(SInt32 value) {
  plist::DictionaryRef record = MakeRecord("TWON_ONEVALUE");
  if (record) record->Set("value", plist::MakeInteger(value));
  return record;
}

// Fills the capability dialect's entries; 0 or the code of the record that could not be made.
ICAError AddCapabilityRecords(plist::Dictionary& device, const ScanningParamBlock& current) {
  plist::DictionaryRef scaling = MakeRecord("TWON_RANGE");
  if (!scaling) return -9;
  scaling->Set("min", plist::MakeFloat(0.1f));
  scaling->Set("max", plist::MakeFloat(10.0f));
  scaling->Set("stepSize", plist::MakeFloat(0.01f));
  scaling->Set("default", plist::MakeFloat(1.0f));
  scaling->Set("current", plist::MakeFloat(1.0f));
  device.Set("ICAP_XSCALING", scaling);
  device.Set("ICAP_YSCALING", scaling);

  plist::DictionaryRef resolution = MakeRecord("TWON_RANGE");
  if (!resolution) return -9;
  resolution->Set("min", plist::MakeInteger(75));
  resolution->Set("max", plist::MakeInteger(kNativeResolution));
  resolution->Set("stepSize", plist::MakeInteger(50));
  resolution->Set("default", plist::MakeInteger(150));
  resolution->Set("current", plist::MakeInteger(static_cast<SInt32>(current.mainScanRes)));
  device.Set("ICAP_XRESOLUTION", resolution);
  device.Set("ICAP_YRESOLUTION", resolution);

  plist::DictionaryRef units = MakeRecord("TWON_ENUMERATION");
  if (!units) return -10;
  units->Set("count", plist::MakeInteger(1));
  units->Set("current", plist::MakeInteger(0));
  units->Set("default", plist::MakeInteger(0));
  plist::ArrayRef unitValues = plist::MakeArray();
  if (!unitValues) return -11;
  unitValues->Append(plist::MakeInteger(500));
  units->Set("value", unitValues);
  device.Set("ICAP_UNITS", units);

  plist::DictionaryRef xNative = MakeOneValue(kNativeResolution);
  if (!xNative) return -12;
  device.Set("ICAP_XNATIVERESOLUTION", xNative);
  plist::DictionaryRef yNative = MakeOneValue(kNativeResolution);
  if (!yNative) return -13;
  device.Set("ICAP_YNATIVERESOLUTION", yNative);

  plist::DictionaryRef width = MakeOneValue(static_cast<SInt32>(kBedWidth));
  if (!width) return -14;
  device.Set("ICAP_PHYSICALWIDTH", width);
  plist::DictionaryRef height = MakeOneValue(static_cast<SInt32>(kBedLength));
  if (!height) return -14;
  device.Set("ICAP_PHYSICALHEIGHT", height);
  return noErr;
}

void AddFlatEntries(plist::Dictionary& device) {
  device.Set("deviceMode", plist::MakeString("reflective"));
  device.Set("resolutionX", plist::MakeInteger(kNativeResolution));
  device.Set("resolutionY", plist::MakeInteger(kNativeResolution));
  device.Set("resolutionMinimum", plist::MakeInteger(75));
  device.Set("resolutionMaxium", plist::MakeInteger(kNativeResolution));
  device.Set("tabletWidth", plist::MakeInteger(static_cast<SInt32>(kBedWidth)));
  device.Set("tabletHeight", plist::MakeInteger(static_cast<SInt32>(kBedLength)));
}

// One area of the flat dialect into `block`; 0 or the failure code.
// The resolutions an area names, as given (before scaling).
struct AreaResolutions {
  UInt32 x = 0, y = 0;
  bool hasX = false, hasY = false;
};

ICAError ReadFlatArea(const plist::Dictionary& area, ScanningParamBlock& block, AreaResolutions& given) {
  SInt32 colorMode = 0;
  int hasColorMode = ReadPlainInt(area, "colorMode", &colorMode);
  if (hasColorMode < 0) return paramErr;
  if (hasColorMode) {
    if (colorMode == 1)
      block.colorMode = 1;
    else if (colorMode == 10)
      block.colorMode = 0;
    else
      return -2;
  }

  SInt32 depth = 0;
  switch (ReadPlainInt(area, "bitDepth", &depth)) {
    case -1: return paramErr;
    case 1:
      if (hasColorMode && colorMode == 1 && depth != 8) return -4;
      if (hasColorMode && colorMode == 10 && depth != 1 && depth != 8) return -3;
      block.dataFormat = static_cast<UInt8>(depth);
      break;
  }

  Float32 scaling = 100.0f;
  if (ReadPlainFloat(area, "scaling", &scaling) < 0) return paramErr;

  SInt32 value = 0;
  switch (ReadPlainInt(area, "resolutionX", &value)) {
    case -1: return paramErr;
    case 1:
      block.mainScanRes = TruncateToUInt32(static_cast<Float32>(value) * scaling / 100.0f);
      given.x = static_cast<UInt32>(value);
      given.hasX = true;
      break;
  }
  switch (ReadPlainInt(area, "resolutionY", &value)) {
    case -1: return paramErr;
    case 1:
      block.subScanRes = TruncateToUInt32(static_cast<Float32>(value) * scaling / 100.0f);
      given.y = static_cast<UInt32>(value);
      given.hasY = true;
      break;
  }
  // Offsets: unsigned 32-bit arithmetic, the product wrapping as it does on the device side.
  switch (ReadPlainInt(area, "offsetX", &value)) {
    case -1: return paramErr;
    case 1: block.offsetMainScan = static_cast<UInt32>(value) * block.mainScanRes / kNativeResolution; break;
  }
  switch (ReadPlainInt(area, "offsetY", &value)) {
    case -1: return paramErr;
    case 1: block.offsetSubScan = static_cast<UInt32>(value) * block.subScanRes / kNativeResolution; break;
  }
  switch (ReadPlainInt(area, "width", &value)) {
    case -1: return paramErr;
    case 1:
      block.mainScanLen = TruncateToUInt32(static_cast<Float32>(value) * scaling / 100.0f);
      // Line art is sent in whole bytes.
      if (block.dataFormat == 1) block.mainScanLen = RoundUpToMultipleOf8(block.mainScanLen);
      break;
  }
  switch (ReadPlainInt(area, "height", &value)) {
    case -1: return paramErr;
    case 1: block.subScanLen = TruncateToUInt32(static_cast<Float32>(value) * scaling / 100.0f); break;
  }
  return noErr;
}

// One area of the capability dialect into `block`. *lastRead is the status of the last
// capability read (0 or -1). Returns 0 or the failure code.
ICAError ReadCapabilityArea(const plist::Dictionary& area, ScanningParamBlock& block, AreaResolutions& given,
                            SInt32* lastRead) {
  Float32 xScale = 1.0f;
  Float32 yScale = 1.0f;
  bool hasPixelType = false;
  SInt32 pixelType = 0;

  if (plist::ValueRef record = area.Get("ICAP_PIXELTYPE")) {
    *lastRead = GetIntFromDict(record, &pixelType);
    if (*lastRead == 0) {
      if (pixelType == 0 || pixelType == 1)
        block.colorMode = 0;
      else if (pixelType == 2)
        block.colorMode = 1;
      else
        return -4;
      hasPixelType = true;
    }
  }
  if (plist::ValueRef record = area.Get("ICAP_BITDEPTH")) {
    SInt32 depth = 0;
    *lastRead = GetIntFromDict(record, &depth);
    if (*lastRead == 0) {
      if (hasPixelType && pixelType != 2 && depth != 1 && depth != 8) return -3;
      if (hasPixelType && pixelType == 2 && depth != 8) return -4;
      block.dataFormat = static_cast<UInt8>(depth);
    }
  }
  if (plist::ValueRef record = area.Get("ICAP_XSCALING")) *lastRead = GetFloatFromDict(record, &xScale);
  block.mainScanScale = TruncateToUInt16(xScale * 100.0f);
  if (plist::ValueRef record = area.Get("ICAP_YSCALING")) *lastRead = GetFloatFromDict(record, &yScale);
  block.subScanScale = TruncateToUInt16(yScale * 100.0f);

  SInt32 resolution = 0;
  if (plist::ValueRef record = area.Get("ICAP_XRESOLUTION")) {
    *lastRead = GetIntFromDict(record, &resolution);
    if (*lastRead == 0) {
      block.mainScanRes = static_cast<UInt32>(resolution);
      given.x = static_cast<UInt32>(resolution);
      given.hasX = true;
    }
  }
  if (plist::ValueRef record = area.Get("ICAP_YRESOLUTION")) {
    *lastRead = GetIntFromDict(record, &resolution);
    if (*lastRead == 0) {
      block.subScanRes = static_cast<UInt32>(resolution);
      given.y = static_cast<UInt32>(resolution);
      given.hasY = true;
    }
  }

  SInt32 value = 0;
  switch (ReadPlainInt(area, "offsetX", &value)) {
    case -1: return paramErr;
    case 1: {
      double offset = static_cast<double>(value) / kNativeResolution * block.mainScanRes * block.mainScanScale / 100.0;
      block.offsetMainScan = std::min(TruncateToUInt32(offset), kBedWidth);
      if (block.dataFormat == 1) block.offsetMainScan = RoundDownToMultipleOf8(block.offsetMainScan);
      break;
    }
  }
  switch (ReadPlainInt(area, "offsetY", &value)) {
    case -1: return paramErr;
    case 1: {
      double offset = static_cast<double>(value) / kNativeResolution * block.subScanRes * block.subScanScale / 100.0;
      block.offsetSubScan = std::min(TruncateToUInt32(offset), kBedLength);
      break;
    }
  }
  // Widths are clipped at the bed's edge; an offset already past it leaves nothing to scan.
  switch (ReadPlainInt(area, "width", &value)) {
    case -1: return paramErr;
    case 1:
      block.mainScanLen = TruncateToUInt32(static_cast<Float32>(value) * xScale);
      if (static_cast<uint64_t>(block.offsetMainScan) + block.mainScanLen > kBedWidth)
        block.mainScanLen = block.offsetMainScan < kBedWidth ? kBedWidth - block.offsetMainScan : 0;
      if (block.dataFormat == 1) block.mainScanLen = RoundDownToMultipleOf8(block.mainScanLen);
      break;
  }
  switch (ReadPlainInt(area, "height", &value)) {
    case -1: return paramErr;
    case 1:
      block.subScanLen = TruncateToUInt32(static_cast<Float32>(value) * yScale);
      if (static_cast<uint64_t>(block.offsetSubScan) + block.subScanLen > kBedLength)
        block.subScanLen = block.offsetSubScan < kBedLength ? kBedLength - block.offsetSubScan : 0;
      break;
  }
  return noErr;
}

}  // namespace

SInt32 GetIntFromDict(const plist::ValueRef& record, SInt32* result) {
  plist::NumberRef number = CurrentCapabilityValue(record);
  if (!number || result == nullptr) return -1;
  *result = number->AsInt32();
  return 0;
}

SInt32 GetFloatFromDict(const plist::ValueRef& record, Float32* result) {
  plist::NumberRef number = CurrentCapabilityValue(record);
  if (!number || result == nullptr) return -1;
  *result = number->AsFloat32();
  return 0;
}

ICAError _ICD_ScannerGetParameters(const ScannerObjectInfo* objectInfo, ICD_ScannerGetParametersPB* pb) {
  return GuardCallback([&]() -> ICAError {
    BridgeNSLog("_ICD_ScannerGetParameters()");
    if (objectInfo == nullptr) return -1;
    CSimpleScanner* scanner = ScannerFromRecord(objectInfo);
    if (scanner == nullptr) return -2;
    if (pb == nullptr || !pb->theDict) return -3;
    ScanningParamBlock current;
    ICAError err = scanner->GetScanningParameters(&current);
    if (err != noErr) return err;

    plist::DictionaryRef device = plist::MakeDictionary();
    if (!device) return -4;
    SInt32 version = 0;
    if (QuerySystemInfo(kSystemVersionSelector, &version) != noErr) return noErr;
    if (UsesCapabilityDialect(version)) {
      err = AddCapabilityRecords(*device, current);
      if (err != noErr) return err;
    } else {
      AddFlatEntries(*device);
    }
    pb->theDict->Set("device", device);
    return noErr;
  });
}

ICAError _ICD_ScannerSetParameters(const ScannerObjectInfo* objectInfo, ICD_ScannerSetParametersPB* pb) {
  return GuardCallback([&]() -> ICAError {
    BridgeNSLog("_ICD_ScannerSetParameters()");
    CSimpleScanner* scanner = ScannerFromRecord(objectInfo);
    if (scanner == nullptr) return paramErr;
    ScanningParamBlock templateBlock;
    ICAError err = scanner->GetScanningParameters(&templateBlock);
    if (err != noErr) return err;
    if (pb == nullptr || !pb->theDict) return paramErr;

    plist::ValueRef areas = pb->theDict->Get("userScanArea");
    if (!areas) return noErr;
    plist::ArrayRef areaList = plist::AsArray(areas);
    if (!areaList && !plist::AsDictionary(areas)) return paramErr;
    const size_t count = areaList ? areaList->Count() : 1;

    if (count != static_cast<size_t>(scanner->m_scanAreaCount)) {
      if (count < 1 || count > static_cast<size_t>(kMaxScanAreas)) return -1;
      scanner->m_scanAreas.reset();
      scanner->m_scanAreaCount = 0;
      scanner->m_scanAreas.reset(new (std::nothrow) ScanningParamBlock[count]());
      if (!scanner->m_scanAreas) return -2;
      scanner->m_scanAreaCount = static_cast<SInt32>(count);
    }

    SInt32 version = 0;
    if (QuerySystemInfo(kSystemVersionSelector, &version) != noErr) return noErr;
    const bool capabilityDialect = UsesCapabilityDialect(version);
    SInt32 lastRead = 0;
    for (size_t i = 0; i < count; ++i) {
      plist::DictionaryRef area = plist::AsDictionary(areaList ? areaList->At(i) : areas);
      if (!area) return paramErr;
      ScanningParamBlock block = templateBlock;
      AreaResolutions given;
      err = capabilityDialect ? ReadCapabilityArea(*area, block, given, &lastRead) : ReadFlatArea(*area, block, given);
      if (given.hasX) scanner->m_resolutionX = given.x;
      if (given.hasY) scanner->m_resolutionY = given.y;
      if (err == noErr && !capabilityDialect) err = scanner->SetScanningParameters(&block);
      if (err != noErr) return err;
      scanner->m_scanAreas[i] = block;
    }
    return capabilityDialect ? static_cast<ICAError>(lastRead) : ICAError(noErr);
  });
}

bool PredictImageSize(const plist::DictionaryRef& settings, SInt32 systemVersion, UInt32* width, UInt32* height) {
  *width = *height = 0;
  plist::ValueRef areas = settings ? settings->Get("userScanArea") : nullptr;
  plist::ArrayRef list = plist::AsArray(areas);
  plist::DictionaryRef area = plist::AsDictionary(list ? (list->Count() ? list->At(0) : nullptr) : areas);
  if (!area) return false;
  // The defaults a new scanner starts from, as the set-parameters callback starts each area.
  ScanningParamBlock block{
      tarvell::device::kNativeResolution, tarvell::device::kNativeResolution, 0, 0, kBedWidth, kBedLength, 1, 8, 0, 0};
  AreaResolutions given;
  SInt32 lastRead = 0;
  const ICAError err = UsesCapabilityDialect(systemVersion) ? ReadCapabilityArea(*area, block, given, &lastRead)
                                                            : ReadFlatArea(*area, block, given);
  if (err != noErr) return false;
  tarvell::DeliveredImageSize(block, width, height);
  return true;
}

std::vector<UInt32> ScannerResolutions(const ScannerObjectInfo* objectInfo) {
  std::vector<UInt32> list;
  if (CSimpleScanner* scanner = ScannerFromRecord(objectInfo); scanner && scanner->m_resolutions)
    for (SInt16 r : *scanner->m_resolutions)
      if (r > 0) list.push_back(UInt32(r));
  std::sort(list.begin(), list.end());
  list.erase(std::unique(list.begin(), list.end()), list.end());
  return list;
}
