// Feeds generated scan-setting dictionaries to the set-parameters callback in both dialects,
// and reads every generated record with the capability readers.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>

#include "driver/ScannerCallbacks.h"
#include "platform/system/SystemInfo.h"
#include "platform/usb/SimBus.h"
#include "sim/SimulatedScanner.h"

namespace {

const char* const kKeys[] = {"userScanArea",
                             "type",
                             "value",
                             "current",
                             "count",
                             "default",
                             "min",
                             "max",
                             "ICAP_PIXELTYPE",
                             "ICAP_BITDEPTH",
                             "ICAP_XSCALING",
                             "ICAP_YSCALING",
                             "ICAP_XRESOLUTION",
                             "ICAP_YRESOLUTION",
                             "offsetX",
                             "offsetY",
                             "width",
                             "height",
                             "colorMode",
                             "bitDepth",
                             "scaling",
                             "resolutionX",
                             "resolutionY"};
const char* const kStrings[] = {"TWON_ONEVALUE", "TWON_ENUMERATION", "TWON_RANGE", "", "x"};

ScannerObjectInfo gDevice;
int gNodes = 0;

plist::ValueRef BuildValue(FuzzedDataProvider& in, int depth);

plist::DictionaryRef BuildDictionary(FuzzedDataProvider& in, int depth) {
  plist::DictionaryRef dict = plist::MakeDictionary();
  const int n = in.ConsumeIntegralInRange(0, 8);
  for (int i = 0; i < n && in.remaining_bytes() > 0; ++i) {
    std::string key = in.ConsumeBool() ? kKeys[in.ConsumeIntegralInRange<size_t>(0, std::size(kKeys) - 1)]
                                       : in.ConsumeRandomLengthString(8);
    dict->Set(key, BuildValue(in, depth + 1));
  }
  return dict;
}

plist::ValueRef BuildValue(FuzzedDataProvider& in, int depth) {
  if (++gNodes > 2000) return plist::MakeInteger(0);
  const int kind = depth >= 5 ? in.ConsumeIntegralInRange(2, 6) : in.ConsumeIntegralInRange(0, 7);
  switch (kind) {
    case 0: return BuildDictionary(in, depth);
    case 1: {
      plist::ArrayRef list = plist::MakeArray();
      const int n = in.ConsumeIntegralInRange(0, 6);
      for (int i = 0; i < n && in.remaining_bytes() > 0; ++i) list->Append(BuildValue(in, depth + 1));
      return list;
    }
    case 2: return plist::MakeInteger(in.ConsumeIntegral<int32_t>());
    case 3:
      // Any bit pattern: NaN, infinities and denormals included.
      return plist::MakeFloat(in.ConsumeFloatingPoint<float>());
    case 4: return plist::MakeString(kStrings[in.ConsumeIntegralInRange<size_t>(0, std::size(kStrings) - 1)]);
    case 5: return plist::MakeData(in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 16)));
    case 6: return plist::MakeBoolean(in.ConsumeBool());
    default: {
      // Many areas, sharing one record, to reach the count limits.
      plist::ArrayRef list = plist::MakeArray();
      plist::DictionaryRef area = BuildDictionary(in, depth + 1);
      const int n = in.ConsumeIntegralInRange(0, 300);
      for (int i = 0; i < n; ++i) list->Append(area);
      return list;
    }
  }
}

// Reads every record in the tree the way the callback may.
void ReadAll(const plist::ValueRef& value, int depth) {
  if (!value || depth > 8) return;
  SInt32 i;
  Float32 f;
  GetIntFromDict(value, &i);
  GetFloatFromDict(value, &f);
  if (auto dict = plist::AsDictionary(value))
    for (const auto& entry : dict->entries()) ReadAll(entry.second, depth + 1);
  if (auto list = plist::AsArray(value))
    for (size_t k = 0; k < list->Count() && k < 8; ++k) ReadAll(list->At(k), depth + 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  auto bus = tarvell::usb::SimBus::Create();
  bus->AddDevice(tarvell::sim::MakeK310(0x01100000));
  tarvell::usb::SetActiveBus(bus);
  RegisterScannerCallbacks();
  if (_ICD_ScannerOpenDevice(0x01100000, &gDevice) != noErr) std::abort();
  ICD_ScannerOpenSessionPB session;
  if (_ICD_ScannerOpenSession(&gDevice, &session) != noErr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  gNodes = 0;
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: tarvell::SetSystemVersion(0x1028); break;
    case 1: tarvell::SetSystemVersion(0x1039); break;
    case 2: tarvell::SetSystemVersion(in.ConsumeIntegral<int32_t>()); break;
    default: tarvell::testing::FailNext(tarvell::SystemCall::kVersionQuery, 1, tarvell::testing::Fails::kFromThenOn);
  }
  ICD_ScannerSetParametersPB pb;
  pb.theDict = in.ConsumeBool() ? BuildDictionary(in, 0) : plist::MakeDictionary();
  if (in.ConsumeBool()) pb.theDict->Set("userScanArea", BuildValue(in, 1));
  _ICD_ScannerSetParameters(&gDevice, &pb);

  CSimpleScanner* scanner = ScannerFromRecord(&gDevice);
  if (scanner->m_scanAreaCount < 0 || scanner->m_scanAreaCount > 255) std::abort();
  if (scanner->m_scanAreaCount > 0 && !scanner->m_scanAreas) std::abort();
  ReadAll(pb.theDict, 0);

  ICD_ScannerGetParametersPB get;
  get.theDict = plist::MakeDictionary();
  _ICD_ScannerGetParameters(&gDevice, &get);
  tarvell::testing::FailNext(tarvell::SystemCall::kVersionQuery, 0);
  return 0;
}
