#include <cmath>
#include <initializer_list>
#include <utility>

#include "tests/driver/DriverTestFixture.h"

namespace {

using plist::MakeFloat;
using plist::MakeInteger;
using plist::MakeString;

using Entries = std::initializer_list<std::pair<const char*, plist::ValueRef>>;

plist::DictionaryRef Dict(Entries entries) {
  plist::DictionaryRef dict = plist::MakeDictionary();
  for (const auto& [key, value] : entries) dict->Set(key, value);
  return dict;
}

plist::DictionaryRef OneValue(plist::ValueRef value) {
  return Dict({{"type", MakeString("TWON_ONEVALUE")}, {"value", std::move(value)}});
}

plist::DictionaryRef Enumeration(SInt32 current, std::initializer_list<plist::ValueRef> values) {
  plist::ArrayRef list = plist::MakeArray();
  for (const auto& v : values) list->Append(v);
  return Dict({{"type", MakeString("TWON_ENUMERATION")}, {"current", MakeInteger(current)}, {"value", list}});
}

plist::ArrayRef List(std::initializer_list<plist::ValueRef> items) {
  plist::ArrayRef list = plist::MakeArray();
  for (const auto& v : items) list->Append(v);
  return list;
}

class ScanParametersTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    PlugScanner();
    device_ = OpenScanner();
    ASSERT_TRUE(device_);
    ASSERT_EQ(tarvell::ica::OpenSession(device_), noErr);
    scanner_ = Scanner(device_);
    log_.clear();
  }

  ICAError Set(plist::ValueRef areas) {
    plist::DictionaryRef dict = plist::MakeDictionary();
    dict->Set("userScanArea", std::move(areas));
    return tarvell::ica::SetParameters(device_, dict);
  }

  const ScanningParamBlock& Area(int i = 0) const { return scanner_->m_scanAreas[i]; }

  void UseFlatDialect() { tarvell::SetSystemVersion(0x1028); }

  plist::DictionaryRef Capabilities() {
    plist::DictionaryRef dict;
    EXPECT_EQ(tarvell::ica::GetParameters(device_, &dict), noErr);
    return plist::AsDictionary(dict->Get("device"));
  }

  ScannerObjectInfo* device_ = nullptr;
  CSimpleScanner* scanner_ = nullptr;
};

// --- Capabilities ---------------------------------------------------------------------------

TEST_F(ScanParametersTest, CapabilityDialectRecordsInOrderWithSharedXAndY) {
  plist::DictionaryRef device = Capabilities();
  ASSERT_TRUE(device);
  std::vector<std::string> keys;
  for (const auto& entry : device->entries()) keys.push_back(entry.first);
  EXPECT_EQ(keys, (std::vector<std::string>{"ICAP_XSCALING", "ICAP_YSCALING", "ICAP_XRESOLUTION", "ICAP_YRESOLUTION",
                                            "ICAP_UNITS", "ICAP_XNATIVERESOLUTION", "ICAP_YNATIVERESOLUTION",
                                            "ICAP_PHYSICALWIDTH", "ICAP_PHYSICALHEIGHT"}));
  EXPECT_EQ(device->Get("ICAP_XSCALING"), device->Get("ICAP_YSCALING"));
  EXPECT_EQ(device->Get("ICAP_XRESOLUTION"), device->Get("ICAP_YRESOLUTION"));
  // The native resolutions are two records of the same content.
  EXPECT_NE(device->Get("ICAP_XNATIVERESOLUTION"), device->Get("ICAP_YNATIVERESOLUTION"));

  auto scaling = plist::AsDictionary(device->Get("ICAP_XSCALING"));
  EXPECT_TRUE(plist::AsNumber(scaling->Get("min"))->IsFloat());
  EXPECT_FLOAT_EQ(plist::AsNumber(scaling->Get("stepSize"))->AsFloat32(), 0.01f);
  EXPECT_FLOAT_EQ(plist::AsNumber(scaling->Get("max"))->AsFloat32(), 10.0f);
  auto resolution = plist::AsDictionary(device->Get("ICAP_XRESOLUTION"));
  EXPECT_EQ(plist::AsString(resolution->Get("type"))->value(), "TWON_RANGE");
  EXPECT_FALSE(plist::AsNumber(resolution->Get("stepSize"))->IsFloat());
  EXPECT_EQ(plist::AsNumber(resolution->Get("default"))->AsInt32(), 150);
  EXPECT_EQ(plist::AsNumber(resolution->Get("current"))->AsInt32(), 600);

  SInt32 units = 0;
  EXPECT_EQ(GetIntFromDict(device->Get("ICAP_UNITS"), &units), 0);
  EXPECT_EQ(units, 500);
  SInt32 width = 0;
  EXPECT_EQ(GetIntFromDict(device->Get("ICAP_PHYSICALWIDTH"), &width), 0);
  EXPECT_EQ(width, 5100);
  SInt32 height = 0;
  EXPECT_EQ(GetIntFromDict(device->Get("ICAP_PHYSICALHEIGHT"), &height), 0);
  EXPECT_EQ(height, 7014);
  // A range cannot be read.
  SInt32 untouched = 42;
  EXPECT_EQ(GetIntFromDict(device->Get("ICAP_XRESOLUTION"), &untouched), -1);
  EXPECT_EQ(untouched, 42);
}

TEST_F(ScanParametersTest, CurrentResolutionIsTheScannersMainScanResolution) {
  ScanningParamBlock block;
  scanner_->GetScanningParameters(&block);
  block.mainScanRes = 300;
  block.subScanRes = 150;
  scanner_->SetScanningParameters(&block);
  auto resolution = plist::AsDictionary(Capabilities()->Get("ICAP_YRESOLUTION"));
  EXPECT_EQ(plist::AsNumber(resolution->Get("current"))->AsInt32(), 300);
}

TEST_F(ScanParametersTest, FlatDialectUpTo102F) {
  for (SInt32 version : {0x1028, 0x102F}) {
    tarvell::SetSystemVersion(version);
    plist::DictionaryRef device = Capabilities();
    ASSERT_TRUE(device);
    EXPECT_EQ(plist::Describe(device),
              "{\n"
              "  \"deviceMode\" = \"reflective\";\n"
              "  \"resolutionX\" = 600;\n"
              "  \"resolutionY\" = 600;\n"
              "  \"resolutionMinimum\" = 75;\n"
              "  \"resolutionMaxium\" = 600;\n"
              "  \"tabletWidth\" = 5100;\n"
              "  \"tabletHeight\" = 7014;\n"
              "}");
  }
  tarvell::SetSystemVersion(0x1030);
  EXPECT_TRUE(Capabilities()->Has("ICAP_UNITS"));
}

TEST_F(ScanParametersTest, GetParametersChecksItsArguments) {
  ICD_ScannerGetParametersPB pb;
  pb.theDict = plist::MakeDictionary();
  EXPECT_EQ(_ICD_ScannerGetParameters(nullptr, &pb), -1);
  ScannerObjectInfo noScanner;
  EXPECT_EQ(_ICD_ScannerGetParameters(&noScanner, &pb), -2);
  ICD_ScannerGetParametersPB noDict;
  EXPECT_EQ(_ICD_ScannerGetParameters(device_, &noDict), -3);
  EXPECT_EQ(_ICD_ScannerGetParameters(device_, nullptr), -3);
  EXPECT_EQ(pb.theDict->Count(), 0u);
  EXPECT_TRUE(log_.contains("_ICD_ScannerGetParameters()"));
}

TEST_F(ScanParametersTest, ARecordThatCannotBeMadeGivesItsCode) {
  // Containers in the order they are made: device, scaling, resolution, units, units' values,
  // X native, Y native, width, height.
  const ICAError codes[] = {-4, -9, -9, -10, -11, -12, -13, -14, -14, 0};
  for (int made = 0; made < 10; ++made) {
    SCOPED_TRACE(made);
    ICD_ScannerGetParametersPB pb;
    pb.theDict = plist::MakeDictionary();
    tarvell::testing::FailNext(plist::Call::kMakeContainer, made + 1, tarvell::testing::Fails::kFromThenOn);
    EXPECT_EQ(_ICD_ScannerGetParameters(device_, &pb), codes[made]);
    tarvell::testing::FailNext(plist::Call::kMakeContainer, 0);
    EXPECT_EQ(pb.theDict->Has("device"), codes[made] == 0);
  }
}

TEST_F(ScanParametersTest, AFailedVersionQueryEndsQuietly) {
  tarvell::testing::FailNext(tarvell::SystemCall::kVersionQuery, 1, tarvell::testing::Fails::kFromThenOn);
  ICD_ScannerGetParametersPB pb;
  pb.theDict = plist::MakeDictionary();
  EXPECT_EQ(_ICD_ScannerGetParameters(device_, &pb), 0);
  EXPECT_FALSE(pb.theDict->Has("device"));
  // Set: the list is sized, then nothing is read.
  EXPECT_EQ(Set(List({Dict({}), Dict({})})), 0);
  EXPECT_EQ(scanner_->m_scanAreaCount, 2);
  EXPECT_EQ(Area(1).mainScanRes, 0u);
}

// --- Capability reads -----------------------------------------------------------------------

TEST_F(ScanParametersTest, CapabilityReadersTakeOneValueOrTheCurrentEnumeration) {
  SInt32 i = 0;
  Float32 f = 0;
  EXPECT_EQ(GetIntFromDict(OneValue(MakeInteger(-7)), &i), 0);
  EXPECT_EQ(i, -7);
  EXPECT_EQ(GetFloatFromDict(OneValue(MakeInteger(3)), &f), 0);
  EXPECT_FLOAT_EQ(f, 3.0f);
  EXPECT_EQ(GetIntFromDict(OneValue(MakeFloat(2.75f)), &i), 0);
  EXPECT_EQ(i, 2);  // truncated
  EXPECT_EQ(GetIntFromDict(Enumeration(2, {MakeInteger(1), MakeInteger(8), MakeInteger(24)}), &i), 0);
  EXPECT_EQ(i, 24);
  EXPECT_EQ(GetFloatFromDict(Enumeration(0, {MakeFloat(0.5f)}), &f), 0);
  EXPECT_FLOAT_EQ(f, 0.5f);
}

TEST_F(ScanParametersTest, UnreadableCapabilityRecordsFailAndLeaveTheResult) {
  const plist::ValueRef bad[] = {
      nullptr,
      MakeInteger(3),                                               // not a record
      Dict({{"value", MakeInteger(3)}}),                            // no type
      Dict({{"type", MakeInteger(1)}, {"value", MakeInteger(3)}}),  // type not a string
      Dict({{"type", MakeString("TWON_RANGE")}, {"current", MakeInteger(3)}}),
      Dict({{"type", MakeString("TWON_ARRAY")}, {"value", MakeInteger(3)}}),
      OneValue(MakeString("3")),                      // value not a number
      Dict({{"type", MakeString("TWON_ONEVALUE")}}),  // no value
      Enumeration(1, {MakeInteger(1)}),               // current past the end
      Enumeration(-1, {MakeInteger(1)}),              // negative current
      Enumeration(0, {}),                             // empty list
      Enumeration(0, {MakeString("8")}),              // element not a number
      Dict({{"type", MakeString("TWON_ENUMERATION")},
            {"current", MakeString("0")},
            {"value", List({MakeInteger(1)})}}),  // current not a number
      Dict({{"type", MakeString("TWON_ENUMERATION")},
            {"current", MakeInteger(0)},
            {"value", MakeInteger(1)}}),  // values not a list
  };
  for (size_t k = 0; k < std::size(bad); ++k) {
    SCOPED_TRACE(k);
    SInt32 i = 99;
    Float32 f = 9.5f;
    EXPECT_EQ(GetIntFromDict(bad[k], &i), -1);
    EXPECT_EQ(GetFloatFromDict(bad[k], &f), -1);
    EXPECT_EQ(i, 99);
    EXPECT_EQ(f, 9.5f);
  }
}

// --- Scan-area list -------------------------------------------------------------------------

TEST_F(ScanParametersTest, OneAreaOrAListOfAreas) {
  EXPECT_EQ(Set(Dict({{"ICAP_XRESOLUTION", OneValue(MakeInteger(300))}})), 0);
  EXPECT_EQ(scanner_->m_scanAreaCount, 1);
  EXPECT_EQ(Area().mainScanRes, 300u);

  EXPECT_EQ(Set(List({Dict({{"ICAP_XRESOLUTION", OneValue(MakeInteger(150))}}),
                      Dict({{"ICAP_XRESOLUTION", OneValue(MakeInteger(75))}}), Dict({})})),
            0);
  ASSERT_EQ(scanner_->m_scanAreaCount, 3);
  EXPECT_EQ(Area(0).mainScanRes, 150u);
  EXPECT_EQ(Area(1).mainScanRes, 75u);
  // Every area starts from the scanner's parameters as the call began, not from the last area.
  EXPECT_EQ(Area(2).mainScanRes, 600u);
  // m_resolutionX holds the last resolution read.
  EXPECT_EQ(scanner_->m_resolutionX, 75u);

  // The same count overwrites the list in place.
  const ScanningParamBlock* list = scanner_->m_scanAreas.get();
  EXPECT_EQ(Set(List({Dict({}), Dict({}), Dict({{"ICAP_XRESOLUTION", OneValue(MakeInteger(200))}})})), 0);
  EXPECT_EQ(scanner_->m_scanAreas.get(), list);
  EXPECT_EQ(Area(2).mainScanRes, 200u);
  EXPECT_EQ(Area(0).mainScanRes, 600u);
}

TEST_F(ScanParametersTest, AreaCountsOutsideOneTo255AreRefused) {
  // An empty list with an empty table is the same count: nothing changes.
  EXPECT_EQ(Set(List({})), 0);
  EXPECT_EQ(scanner_->m_scanAreaCount, 0);
  EXPECT_EQ(scanner_->m_scanAreas, nullptr);

  ASSERT_EQ(Set(Dict({})), 0);
  EXPECT_EQ(Set(List({})), -1);
  EXPECT_EQ(scanner_->m_scanAreaCount, 1);  // the list is kept

  plist::ArrayRef many = plist::MakeArray();
  for (int i = 0; i < 256; ++i) many->Append(Dict({}));
  EXPECT_EQ(Set(many), -1);
  EXPECT_EQ(scanner_->m_scanAreaCount, 1);
  plist::ArrayRef most = plist::MakeArray();
  for (int i = 0; i < 255; ++i) most->Append(Dict({{"ICAP_YRESOLUTION", OneValue(MakeInteger(i))}}));
  EXPECT_EQ(Set(most), 0);
  EXPECT_EQ(scanner_->m_scanAreaCount, 255);
  EXPECT_EQ(Area(254).subScanRes, 254u);
}

TEST_F(ScanParametersTest, NoUserScanAreaChangesNothing) {
  ASSERT_EQ(Set(Dict({})), 0);
  plist::DictionaryRef dict = Dict({{"somethingElse", MakeInteger(1)}});
  EXPECT_EQ(tarvell::ica::SetParameters(device_, dict), 0);
  EXPECT_EQ(scanner_->m_scanAreaCount, 1);
}

TEST_F(ScanParametersTest, AnErrorMidwayKeepsTheAreasBeforeIt) {
  EXPECT_EQ(Set(List({Dict({{"ICAP_XRESOLUTION", OneValue(MakeInteger(300))}}),
                      Dict({{"ICAP_PIXELTYPE", OneValue(MakeInteger(7))}}),
                      Dict({{"ICAP_XRESOLUTION", OneValue(MakeInteger(150))}})})),
            -4);
  ASSERT_EQ(scanner_->m_scanAreaCount, 3);
  EXPECT_EQ(Area(0).mainScanRes, 300u);
  // The new list was zero-filled; the failed area and those after it were not stored.
  EXPECT_EQ(Area(1).mainScanRes, 0u);
  EXPECT_EQ(Area(2).mainScanRes, 0u);
  EXPECT_EQ(Area(2).subScanLen, 0u);
}

TEST_F(ScanParametersTest, MalformedDictionariesFailWithoutHarm) {
  ASSERT_EQ(Set(Dict({{"ICAP_XRESOLUTION", OneValue(MakeInteger(300))}})), 0);
  EXPECT_EQ(Set(MakeString("everything")), paramErr);  // neither area nor list
  EXPECT_EQ(Set(List({MakeInteger(1)})), paramErr);    // an area that is not a record
  EXPECT_EQ(Set(Dict({{"offsetX", MakeString("12")}})), paramErr);
  EXPECT_EQ(Set(Dict({{"width", Dict({})}})), paramErr);
  EXPECT_EQ(Set(Dict({{"height", List({})}})), paramErr);
  EXPECT_EQ(Area().mainScanRes, 300u);  // none of these stored anything

  ICD_ScannerSetParametersPB pb;
  EXPECT_EQ(_ICD_ScannerSetParameters(device_, &pb), paramErr);  // no dictionary
  EXPECT_EQ(_ICD_ScannerSetParameters(device_, nullptr), paramErr);
  pb.theDict = Dict({{"userScanArea", Dict({})}});
  EXPECT_EQ(_ICD_ScannerSetParameters(nullptr, &pb), paramErr);
  ScannerObjectInfo noScanner;
  EXPECT_EQ(_ICD_ScannerSetParameters(&noScanner, &pb), paramErr);
  EXPECT_TRUE(log_.contains("_ICD_ScannerSetParameters()"));
}

// --- Capability dialect arithmetic -----------------------------------------------------------

TEST_F(ScanParametersTest, CapabilityPixelTypeAndDepth) {
  struct Case {
    SInt32 pixelType, depth;
    ICAError result;
    UInt8 colorMode, dataFormat;
  } cases[] = {
      {0, 1, 0, 0, 1},  {1, 8, 0, 0, 8},   {2, 8, 0, 1, 8},  {0, 4, -3, 0, 0},  {1, 24, -3, 0, 0},
      {2, 1, -4, 0, 0}, {2, 24, -4, 0, 0}, {3, 8, -4, 0, 0}, {-1, 8, -4, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.pixelType << "/" << c.depth);
    EXPECT_EQ(Set(Dict({{"ICAP_PIXELTYPE", OneValue(MakeInteger(c.pixelType))},
                        {"ICAP_BITDEPTH", OneValue(MakeInteger(c.depth))}})),
              c.result);
    if (c.result == 0) {
      EXPECT_EQ(Area().colorMode, c.colorMode);
      EXPECT_EQ(Area().dataFormat, c.dataFormat);
    }
  }
  // Without a pixel type any depth is taken as it is.
  EXPECT_EQ(Set(Dict({{"ICAP_BITDEPTH", OneValue(MakeInteger(16))}})), 0);
  EXPECT_EQ(Area().dataFormat, 16);
  EXPECT_EQ(Area().colorMode, 0);  // the template's
}

TEST_F(ScanParametersTest, CapabilityOffsetsScaleByResolutionAndClampAtTheBed) {
  auto area = [](SInt32 res, SInt32 offsetX) {
    return Dict({{"ICAP_BITDEPTH", OneValue(MakeInteger(8))},
                 {"ICAP_XRESOLUTION", OneValue(MakeInteger(res))},
                 {"offsetX", MakeInteger(offsetX)}});
  };
  EXPECT_EQ(Set(area(300, 1200)), 0);
  EXPECT_EQ(Area().offsetMainScan, 600u);  // 1200 / 600 * 300 * 100 / 100
  EXPECT_EQ(Area().mainScanScale, 100);    // no scaling key: 1.0
  EXPECT_EQ(Area().subScanScale, 100);
  EXPECT_EQ(Set(area(300, 12000)), 0);
  EXPECT_EQ(Area().offsetMainScan, 5100u);  // 6000, clamped
  EXPECT_EQ(Set(area(150, 100)), 0);
  EXPECT_EQ(Area().offsetMainScan, 25u);  // 100 / 600 * 150 = 25
  EXPECT_EQ(Set(area(200, 10)), 0);
  EXPECT_EQ(Area().offsetMainScan, 3u);  // 3.33 truncated
  EXPECT_EQ(Set(area(300, -600)), 0);
  EXPECT_EQ(Area().offsetMainScan, 0u);  // a negative offset is the bed's edge

  EXPECT_EQ(Set(Dict({{"ICAP_YRESOLUTION", OneValue(MakeInteger(600))},
                      {"offsetY", MakeInteger(7000)},
                      {"height", MakeInteger(100)}})),
            0);
  EXPECT_EQ(Area().offsetSubScan, 7000u);
  EXPECT_EQ(Area().subScanLen, 14u);  // 7014 - 7000
  EXPECT_EQ(Set(Dict({{"offsetY", MakeInteger(9000)}, {"height", MakeInteger(100)}})), 0);
  EXPECT_EQ(Area().offsetSubScan, 7014u);
  EXPECT_EQ(Area().subScanLen, 0u);
}

TEST_F(ScanParametersTest, CapabilityWidthsClipAtTheBedAndLineArtRoundsDown) {
  EXPECT_EQ(
      Set(Dict(
          {{"ICAP_BITDEPTH", OneValue(MakeInteger(8))}, {"offsetX", MakeInteger(5000)}, {"width", MakeInteger(300)}})),
      0);
  EXPECT_EQ(Area().offsetMainScan, 5000u);
  EXPECT_EQ(Area().mainScanLen, 100u);

  // One-bit: width 101 -> 96, offset 100 at 300 dpi (50) -> 48.
  EXPECT_EQ(Set(Dict({{"ICAP_BITDEPTH", OneValue(MakeInteger(1))}, {"width", MakeInteger(101)}})), 0);
  EXPECT_EQ(Area().mainScanLen, 96u);
  EXPECT_EQ(Set(Dict({{"ICAP_BITDEPTH", OneValue(MakeInteger(1))},
                      {"ICAP_XRESOLUTION", OneValue(MakeInteger(300))},
                      {"offsetX", MakeInteger(100)},
                      {"width", MakeInteger(5100)}})),
            0);
  EXPECT_EQ(Area().offsetMainScan, 48u);
  EXPECT_EQ(Area().mainScanLen, 5048u);  // 5100 - 48, already a multiple of 8
  // The template is one-bit after a session opens, so rounding applies without the key.
  EXPECT_EQ(Set(Dict({{"width", MakeInteger(15)}})), 0);
  EXPECT_EQ(Area().mainScanLen, 8u);
  // Heights are never rounded.
  EXPECT_EQ(Set(Dict({{"height", MakeInteger(15)}})), 0);
  EXPECT_EQ(Area().subScanLen, 15u);
  // A negative width is nothing.
  EXPECT_EQ(Set(Dict({{"width", MakeInteger(-5)}})), 0);
  EXPECT_EQ(Area().mainScanLen, 0u);
}

TEST_F(ScanParametersTest, CapabilityScalingIsFloatArithmeticTruncated) {
  auto half = OneValue(MakeFloat(0.5f));
  EXPECT_EQ(Set(Dict({{"ICAP_BITDEPTH", OneValue(MakeInteger(8))},
                      {"ICAP_XSCALING", half},
                      {"ICAP_XRESOLUTION", OneValue(MakeInteger(300))},
                      {"offsetX", MakeInteger(1200)},
                      {"width", MakeInteger(1001)},
                      {"height", MakeInteger(1001)}})),
            0);
  EXPECT_EQ(Area().mainScanScale, 50);
  EXPECT_EQ(Area().subScanScale, 100);
  EXPECT_EQ(Area().offsetMainScan, 300u);  // 1200 / 600 * 300 * 50 / 100
  EXPECT_EQ(Area().mainScanLen, 500u);     // 1001 * 0.5 = 500.5
  EXPECT_EQ(Area().subScanLen, 1001u);     // no Y scale

  // 0.11f * 100 in float is exactly 11 (in double it would be 10.999...).
  EXPECT_EQ(Set(Dict({{"ICAP_YSCALING", OneValue(MakeFloat(0.11f))},
                      {"ICAP_YRESOLUTION", OneValue(MakeInteger(600))},
                      {"offsetY", MakeInteger(6000)},
                      {"height", MakeInteger(1000)}})),
            0);
  EXPECT_EQ(Area().subScanScale, 11);
  EXPECT_EQ(Area().offsetSubScan, 660u);  // 6000 / 600 * 600 * 11 / 100
  EXPECT_EQ(Area().subScanLen, 110u);     // 1000 * 0.11f = 110.0000016

  // An integer scale record reads as a float; enormous or negative scales saturate.
  EXPECT_EQ(Set(Dict({{"ICAP_XSCALING", OneValue(MakeInteger(2))}, {"width", MakeInteger(100)}})), 0);
  EXPECT_EQ(Area().mainScanScale, 200);
  EXPECT_EQ(Set(Dict({{"ICAP_XSCALING", OneValue(MakeFloat(1e9f))}})), 0);
  EXPECT_EQ(Area().mainScanScale, 65535);
  EXPECT_EQ(Set(Dict({{"ICAP_XSCALING", OneValue(MakeFloat(-3.0f))}, {"width", MakeInteger(100)}})), 0);
  EXPECT_EQ(Area().mainScanScale, 0);
  EXPECT_EQ(Area().mainScanLen, 0u);
  EXPECT_EQ(Set(Dict({{"ICAP_XSCALING", OneValue(MakeFloat(std::nanf("")))}, {"width", MakeInteger(100)}})), 0);
  EXPECT_EQ(Area().mainScanScale, 0);
  EXPECT_EQ(Area().mainScanLen, 0u);
}

TEST_F(ScanParametersTest, CapabilityResultIsTheLastCapabilityRead) {
  auto range = Dict({{"type", MakeString("TWON_RANGE")}, {"current", MakeInteger(300)}});
  // The range is not read: the template's resolution stays, and the call reports -1.
  EXPECT_EQ(Set(Dict({{"ICAP_XRESOLUTION", range}, {"width", MakeInteger(80)}})), -1);
  EXPECT_EQ(Area().mainScanRes, 600u);
  EXPECT_EQ(Area().mainScanLen, 80u);
  EXPECT_EQ(scanner_->m_resolutionX, 600u);
  // A read that follows it decides.
  EXPECT_EQ(Set(Dict({{"ICAP_XRESOLUTION", range}, {"ICAP_YRESOLUTION", OneValue(MakeInteger(300))}})), 0);
  // Across areas, the last read in the last area decides; an area with no capability keys adds
  // no read.
  EXPECT_EQ(Set(List({Dict({{"ICAP_XRESOLUTION", range}}), Dict({{"width", MakeInteger(8)}})})), -1);
  EXPECT_EQ(Set(List({Dict({{"ICAP_XRESOLUTION", range}}), Dict({{"ICAP_BITDEPTH", OneValue(MakeInteger(8))}})})), 0);
  // A failed scaling read leaves the factor at 1.0.
  EXPECT_EQ(Set(Dict({{"ICAP_XSCALING", range}, {"width", MakeInteger(80)}})), -1);
  EXPECT_EQ(Area().mainScanScale, 100);
  EXPECT_EQ(Area().mainScanLen, 80u);
  // A wrong pixel type record counts as absent: no check against the depth.
  EXPECT_EQ(Set(Dict({{"ICAP_PIXELTYPE", OneValue(MakeString("2"))}, {"ICAP_BITDEPTH", OneValue(MakeInteger(4))}})), 0);
  EXPECT_EQ(Area().dataFormat, 4);
}

TEST_F(ScanParametersTest, CapabilityAreasAreStoredNotApplied) {
  ScanningParamBlock before;
  scanner_->GetScanningParameters(&before);
  EXPECT_EQ(
      Set(Dict({{"ICAP_XRESOLUTION", OneValue(MakeInteger(300))}, {"ICAP_YRESOLUTION", OneValue(MakeInteger(200))}})),
      0);
  ScanningParamBlock after;
  scanner_->GetScanningParameters(&after);
  EXPECT_EQ(after.mainScanRes, before.mainScanRes);
  EXPECT_EQ(Area().subScanRes, 200u);
  EXPECT_EQ(scanner_->m_resolutionY, 200u);
}

// --- Flat dialect arithmetic -----------------------------------------------------------------

TEST_F(ScanParametersTest, FlatScalingResolutionAndOffset) {
  UseFlatDialect();
  EXPECT_EQ(Set(Dict({{"colorMode", MakeInteger(10)},
                      {"bitDepth", MakeInteger(8)},
                      {"scaling", MakeFloat(50.0f)},
                      {"resolutionX", MakeInteger(300)},
                      {"resolutionY", MakeInteger(200)},
                      {"offsetX", MakeInteger(600)},
                      {"offsetY", MakeInteger(1200)},
                      {"width", MakeInteger(101)},
                      {"height", MakeInteger(33)}})),
            0);
  const ScanningParamBlock& a = Area();
  EXPECT_EQ(a.mainScanRes, 150u);
  EXPECT_EQ(a.subScanRes, 100u);
  EXPECT_EQ(scanner_->m_resolutionX, 300u);  // unscaled
  EXPECT_EQ(scanner_->m_resolutionY, 200u);
  EXPECT_EQ(a.offsetMainScan, 150u);  // 600 * 150 / 600
  EXPECT_EQ(a.offsetSubScan, 200u);   // 1200 * 100 / 600
  EXPECT_EQ(a.mainScanLen, 50u);      // 101 * 50 / 100 = 50.5
  EXPECT_EQ(a.subScanLen, 16u);       // 33 * 50 / 100 = 16.5
  EXPECT_EQ(a.colorMode, 0);
  EXPECT_EQ(a.dataFormat, 8);
  // Scales are not part of the flat dialect: the template's (0 from the scanner) stay.
  EXPECT_EQ(a.mainScanScale, 0);
  // Each block is applied to the scanner as well.
  ScanningParamBlock applied;
  scanner_->GetScanningParameters(&applied);
  EXPECT_EQ(applied.mainScanRes, 150u);
  EXPECT_EQ(applied.subScanLen, 16u);
}

TEST_F(ScanParametersTest, FlatArithmeticIsThirtyTwoBitFloatAndUnsigned) {
  UseFlatDialect();
  // 600 * 16.666666f is 10000 in float (99.99999... in exact arithmetic).
  EXPECT_EQ(Set(Dict({{"scaling", MakeFloat(16.666666f)}, {"resolutionX", MakeInteger(600)}})), 0);
  EXPECT_EQ(Area().mainScanRes, 100u);
  // No scaling key: 100 percent.
  EXPECT_EQ(Set(Dict({{"resolutionX", MakeInteger(300)}, {"offsetX", MakeInteger(7)}})), 0);
  EXPECT_EQ(Area().mainScanRes, 300u);
  EXPECT_EQ(Area().offsetMainScan, 3u);  // 2100 / 600 = 3.5
  // The offset product is unsigned 32-bit: 10000000 * 600 wraps to 1705032704.
  EXPECT_EQ(Set(Dict({{"resolutionX", MakeInteger(600)}, {"offsetX", MakeInteger(10000000)}})), 0);
  EXPECT_EQ(Area().offsetMainScan, 2841721u);
  // A negative offset is taken as unsigned: (2^32 - 600) * 150 wraps to 2^32 - 90000.
  EXPECT_EQ(Set(Dict({{"resolutionX", MakeInteger(150)}, {"offsetX", MakeInteger(-600)}})), 0);
  EXPECT_EQ(Area().offsetMainScan, 7158128u);
  // Without resolutionY the scanner's resolution is the unit; flat areas are applied to the
  // scanner, so that is what the last call left (600 from the session).
  EXPECT_EQ(Set(Dict({{"offsetY", MakeInteger(600)}})), 0);
  EXPECT_EQ(Area().offsetSubScan, 600u);
  EXPECT_EQ(Set(Dict({{"offsetX", MakeInteger(600)}})), 0);
  EXPECT_EQ(Area().offsetMainScan, 150u);  // the 150 dpi applied just before
  // Negative or NaN sizes saturate at 0 instead of being undefined.
  EXPECT_EQ(Set(Dict({{"scaling", MakeFloat(-10.0f)}, {"resolutionX", MakeInteger(300)}, {"height", MakeInteger(50)}})),
            0);
  EXPECT_EQ(Area().mainScanRes, 0u);
  EXPECT_EQ(Area().subScanLen, 0u);
  EXPECT_EQ(scanner_->m_resolutionX, 300u);
}

TEST_F(ScanParametersTest, FlatLineArtWidthsRoundUpToWholeBytes) {
  UseFlatDialect();
  struct Case {
    SInt32 width;
    UInt32 expected;
  } cases[] = {{100, 104}, {96, 96}, {97, 104}, {1, 8}, {0, 0}, {2147483647, 2147483648u}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.width);
    EXPECT_EQ(
        Set(Dict({{"colorMode", MakeInteger(10)}, {"bitDepth", MakeInteger(1)}, {"width", MakeInteger(c.width)}})), 0);
    EXPECT_EQ(Area().mainScanLen, c.expected);
  }
  // Eight-bit widths are not rounded; nor are heights.
  EXPECT_EQ(Set(Dict({{"colorMode", MakeInteger(10)},
                      {"bitDepth", MakeInteger(8)},
                      {"width", MakeInteger(100)},
                      {"height", MakeInteger(3)}})),
            0);
  EXPECT_EQ(Area().mainScanLen, 100u);
  EXPECT_EQ(Area().subScanLen, 3u);
  // The scaled width is what is rounded: 21 * 50% = 10.5 -> 10 -> 16.
  EXPECT_EQ(Set(Dict({{"bitDepth", MakeInteger(1)}, {"scaling", MakeFloat(50.0f)}, {"width", MakeInteger(21)}})), 0);
  EXPECT_EQ(Area().mainScanLen, 16u);
}

TEST_F(ScanParametersTest, FlatColorModeAndDepthRules) {
  UseFlatDialect();
  struct Case {
    std::optional<SInt32> colorMode, depth;
    ICAError result;
    UInt8 mode, format;
  } cases[] = {
      {1, std::nullopt, 0, 1, 1},  // colour keeps the session's depth
      {1, 8, 0, 1, 8},
      {10, 1, 0, 0, 1},
      {10, 8, 0, 0, 8},
      {1, 1, -4, 0, 0},
      {1, 24, -4, 0, 0},
      {10, 4, -3, 0, 0},
      {10, 24, -3, 0, 0},
      {0, 8, -2, 0, 0},
      {2, std::nullopt, -2, 0, 0},
      {std::nullopt, 4, 0, 0, 4},  // no colour mode: no check
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.colorMode.value_or(-99) << "/" << c.depth.value_or(-99));
    plist::DictionaryRef area = plist::MakeDictionary();
    if (c.colorMode) area->Set("colorMode", MakeInteger(*c.colorMode));
    if (c.depth) area->Set("bitDepth", MakeInteger(*c.depth));
    EXPECT_EQ(Set(area), c.result);
    if (c.result == 0) {
      EXPECT_EQ(Area().colorMode, c.mode);
      EXPECT_EQ(Area().dataFormat, c.format);
    }
  }
}

TEST_F(ScanParametersTest, FlatKeysOfTheWrongTypeAreRefused) {
  UseFlatDialect();
  const char* keys[] = {"colorMode", "bitDepth", "scaling", "resolutionX", "resolutionY",
                        "offsetX",   "offsetY",  "width",   "height"};
  for (const char* key : keys) {
    SCOPED_TRACE(key);
    EXPECT_EQ(Set(Dict({{key, MakeString("300")}})), paramErr);
  }
}

}  // namespace
