#include "sane/SaneOptions.h"

#include "platform/ica/ScanSettings.h"

#include <gtest/gtest.h>
#include <sane/saneopts.h>

#include <cstring>
#include <string>

namespace tarvell::sane {
namespace {

SANE_Status Set(OptionSet& set, SANE_Int index, SANE_Word value, SANE_Int* info = nullptr) {
  return set.Control(index, SANE_ACTION_SET_VALUE, &value, info);
}

SANE_Status SetMode(OptionSet& set, const char* mode, SANE_Int* info = nullptr) {
  char buffer[16] = {};
  std::strncpy(buffer, mode, sizeof buffer - 1);
  return set.Control(kOptMode, SANE_ACTION_SET_VALUE, buffer, info);
}

SANE_Word Get(OptionSet& set, SANE_Int index) {
  SANE_Word value = -1;
  EXPECT_EQ(set.Control(index, SANE_ACTION_GET_VALUE, &value, nullptr), SANE_STATUS_GOOD);
  return value;
}

TEST(SaneOptions, DescriptorsUseTheStandardNamesUnitsAndConstraints) {
  OptionSet set{ScanSpace()};
  EXPECT_EQ(Get(set, kOptCount), kOptionCount);
  EXPECT_EQ(set.Descriptor(kOptionCount), nullptr);
  EXPECT_EQ(set.Descriptor(-1), nullptr);

  const SANE_Option_Descriptor* count = set.Descriptor(kOptCount);
  EXPECT_STREQ(count->name, SANE_NAME_NUM_OPTIONS);
  EXPECT_EQ(count->type, SANE_TYPE_INT);
  EXPECT_FALSE(count->cap & SANE_CAP_SOFT_SELECT);

  EXPECT_EQ(set.Descriptor(kOptStandardGroup)->type, SANE_TYPE_GROUP);
  EXPECT_STREQ(set.Descriptor(kOptStandardGroup)->title, SANE_TITLE_STANDARD);
  EXPECT_STREQ(set.Descriptor(kOptGeometryGroup)->title, SANE_TITLE_GEOMETRY);

  const SANE_Option_Descriptor* mode = set.Descriptor(kOptMode);
  EXPECT_STREQ(mode->name, "mode");
  ASSERT_EQ(mode->constraint_type, SANE_CONSTRAINT_STRING_LIST);
  std::vector<std::string> modes;
  for (const SANE_String_Const* m = mode->constraint.string_list; *m; ++m) modes.push_back(*m);
  EXPECT_EQ(modes, (std::vector<std::string>{"Lineart", "Gray", "Color"}));
  for (const std::string& m : modes) EXPECT_LT(SANE_Int(m.size()), mode->size);

  const SANE_Option_Descriptor* res = set.Descriptor(kOptResolution);
  EXPECT_STREQ(res->name, "resolution");
  EXPECT_EQ(res->unit, SANE_UNIT_DPI);
  ASSERT_EQ(res->constraint_type, SANE_CONSTRAINT_WORD_LIST);
  const SANE_Word* list = res->constraint.word_list;
  EXPECT_EQ(std::vector<SANE_Word>(list + 1, list + 1 + list[0]), (std::vector<SANE_Word>{75, 150, 200, 300}));

  const char* names[] = {"tl-x", "tl-y", "br-x", "br-y"};
  for (int i = 0; i < 4; ++i) {
    const SANE_Option_Descriptor* d = set.Descriptor(kOptTlX + i);
    EXPECT_STREQ(d->name, names[i]);
    EXPECT_EQ(d->type, SANE_TYPE_FIXED);
    EXPECT_EQ(d->unit, SANE_UNIT_MM);
    ASSERT_EQ(d->constraint_type, SANE_CONSTRAINT_RANGE);
    EXPECT_EQ(d->constraint.range->min, 0);
    const double max = SANE_UNFIX(d->constraint.range->max);
    EXPECT_NEAR(max, i % 2 == 0 ? 215.9 : 296.926, 0.001) << names[i];
  }
  // The whole bed by default.
  EXPECT_EQ(Get(set, kOptBrX), set.Descriptor(kOptBrX)->constraint.range->max);
  EXPECT_EQ(Get(set, kOptBrY), set.Descriptor(kOptBrY)->constraint.range->max);
}

TEST(SaneOptions, ModeTakesTheListedNamesAndRefusesOthers) {
  OptionSet set{ScanSpace()};
  SANE_Int info = 0;
  EXPECT_EQ(SetMode(set, "Gray", &info), SANE_STATUS_GOOD);
  EXPECT_EQ(info, SANE_INFO_RELOAD_PARAMS | SANE_INFO_RELOAD_OPTIONS);  // its resolutions differ from colour's
  EXPECT_EQ(set.settings().mode, ScanMode::kGray);
  EXPECT_EQ(SetMode(set, "lineart", &info), SANE_STATUS_GOOD);  // case is forgiven, and said so
  EXPECT_EQ(info, SANE_INFO_RELOAD_PARAMS | SANE_INFO_INEXACT);
  char value[16] = {};
  ASSERT_EQ(set.Control(kOptMode, SANE_ACTION_GET_VALUE, value, nullptr), SANE_STATUS_GOOD);
  EXPECT_STREQ(value, "Lineart");

  EXPECT_EQ(SetMode(set, "Halftone", &info), SANE_STATUS_INVAL);
  EXPECT_EQ(SetMode(set, "", &info), SANE_STATUS_INVAL);
  EXPECT_EQ(SetMode(set, "Colour", &info), SANE_STATUS_INVAL);
  EXPECT_EQ(info, 0);
  EXPECT_EQ(set.settings().mode, ScanMode::kLineart);  // a refused value changes nothing
}

TEST(SaneOptions, ResolutionSnapsToTheNearestListedValue) {
  OptionSet set{ScanSpace()};
  SANE_Int info = 0;
  EXPECT_EQ(SetMode(set, "Gray", &info), SANE_STATUS_GOOD);
  EXPECT_EQ(Set(set, kOptResolution, 300, &info), SANE_STATUS_GOOD);
  EXPECT_EQ(info, SANE_INFO_RELOAD_PARAMS);
  EXPECT_EQ(Set(set, kOptResolution, 240, &info), SANE_STATUS_GOOD);
  EXPECT_EQ(info, SANE_INFO_RELOAD_PARAMS | SANE_INFO_INEXACT);
  EXPECT_EQ(Get(set, kOptResolution), 200);
  EXPECT_EQ(Set(set, kOptResolution, 175), SANE_STATUS_GOOD);  // a tie goes to the lower
  EXPECT_EQ(Get(set, kOptResolution), 150);
  EXPECT_EQ(Set(set, kOptResolution, 74), SANE_STATUS_GOOD);  // outside the list: its nearest end
  EXPECT_EQ(Get(set, kOptResolution), 75);
  EXPECT_EQ(Set(set, kOptResolution, 601), SANE_STATUS_GOOD);
  EXPECT_EQ(Get(set, kOptResolution), 600);
}

TEST(SaneOptions, TheResolutionsFollowTheMode) {
  // Colour lists only what the device scans in colour: 600 set in grey becomes 300, and the
  // frontend reloads the options (the list) and the parameters.
  OptionSet set{ScanSpace()};
  SANE_Int info = 0;
  ASSERT_EQ(SetMode(set, "Gray"), SANE_STATUS_GOOD);
  EXPECT_EQ(Set(set, kOptResolution, 600), SANE_STATUS_GOOD);
  EXPECT_EQ(SetMode(set, "Color", &info), SANE_STATUS_GOOD);
  EXPECT_EQ(info, SANE_INFO_RELOAD_PARAMS | SANE_INFO_RELOAD_OPTIONS);
  EXPECT_EQ(Get(set, kOptResolution), 300);
  EXPECT_EQ(set.settings().resolution, 300);
}

TEST(SaneOptions, CoordinatesStayOnTheBedAndOtherRequestsAreRefused) {
  OptionSet set{ScanSpace()};
  const SANE_Fixed maxX = set.Descriptor(kOptBrX)->constraint.range->max;
  EXPECT_EQ(Set(set, kOptTlX, SANE_FIX(10.5)), SANE_STATUS_GOOD);
  EXPECT_EQ(Get(set, kOptTlX), SANE_FIX(10.5));
  EXPECT_EQ(Set(set, kOptBrX, maxX), SANE_STATUS_GOOD);
  EXPECT_EQ(Set(set, kOptBrX, maxX + SANE_FIX(1)), SANE_STATUS_GOOD);  // clamped to the bed
  EXPECT_EQ(Get(set, kOptBrX), maxX);
  EXPECT_EQ(Set(set, kOptTlY, SANE_FIX(-0.5)), SANE_STATUS_GOOD);
  EXPECT_EQ(Get(set, kOptTlY), 0);

  SANE_Word value = 0;
  EXPECT_EQ(set.Control(kOptCount, SANE_ACTION_SET_VALUE, &value, nullptr), SANE_STATUS_INVAL);
  EXPECT_EQ(set.Control(kOptStandardGroup, SANE_ACTION_GET_VALUE, &value, nullptr), SANE_STATUS_INVAL);
  EXPECT_EQ(set.Control(kOptTlX, SANE_ACTION_SET_AUTO, &value, nullptr), SANE_STATUS_INVAL);
  EXPECT_EQ(set.Control(kOptionCount, SANE_ACTION_GET_VALUE, &value, nullptr), SANE_STATUS_INVAL);
  EXPECT_EQ(set.Control(kOptTlX, SANE_ACTION_GET_VALUE, nullptr, nullptr), SANE_STATUS_INVAL);
}

TEST(SaneOptions, AreaIsHandedToTheDriverInItsOwnUnits) {
  ScanSettings s;
  s.mode = ScanMode::kLineart;
  s.resolution = 300;
  s.tlX = SANE_FIX(25.4);  // one inch
  s.tlY = SANE_FIX(50.8);
  s.brX = SANE_FIX(127.0);  // four inches wide
  s.brY = SANE_FIX(50.8);   // empty
  AreaRequest a = AreaFromSettings(s);
  EXPECT_EQ(a.pixelType, 0);
  EXPECT_EQ(a.bitDepth, 1);
  EXPECT_EQ(a.resolution, 300);
  EXPECT_EQ(a.offsetX, 600);
  EXPECT_EQ(a.offsetY, 1200);
  EXPECT_EQ(a.width, 1200);
  EXPECT_EQ(a.height, 0);
}

TEST(SaneOptions, PredictionsStartFromTheNumbersTheCommandLineHostSends) {
  // The scan itself sends what tarvell::ica::MakeScanSettings makes; the prediction must start
  // from the same offsets and sizes.
  const ScanSettings cases[] = {
      {ScanMode::kColor, 300, SANE_FIX(0), SANE_FIX(0), SANE_FIX(215.9), SANE_FIX(279.4)},
      {ScanMode::kGray, 150, SANE_FIX(3.3), SANE_FIX(7.7), SANE_FIX(101.1), SANE_FIX(33.3)},
      {ScanMode::kLineart, 75, SANE_FIX(10), SANE_FIX(20), SANE_FIX(90), SANE_FIX(80)},
      {ScanMode::kColor, 600, SANE_FIX(0.04), SANE_FIX(296.9), SANE_FIX(0.05), SANE_FIX(296.926)},
  };
  for (const ScanSettings& s : cases) {
    tarvell::ica::ScanArea request;
    request.mode = s.mode == ScanMode::kLineart ? tarvell::ica::ScanArea::kLineart
                   : s.mode == ScanMode::kGray  ? tarvell::ica::ScanArea::kGray
                                                : tarvell::ica::ScanArea::kColor;
    request.resolution = UInt32(s.resolution);
    request.left = SANE_UNFIX(s.tlX);
    request.top = SANE_UNFIX(s.tlY);
    request.width = SANE_UNFIX(s.brX) - request.left;
    request.height = SANE_UNFIX(s.brY) - request.top;
    plist::DictionaryRef dict = tarvell::ica::MakeScanSettings(request, 0x1039);
    plist::DictionaryRef area = plist::AsDictionary(dict->Get("userScanArea"));
    ASSERT_TRUE(area);
    auto number = [&](const char* key) { return plist::AsNumber(area->Get(key))->AsInt32(); };
    auto record = [&](const char* key) {
      return plist::AsNumber(plist::AsDictionary(area->Get(key))->Get("value"))->AsInt32();
    };
    const AreaRequest a = AreaFromSettings(s);
    EXPECT_EQ(a.offsetX, number("offsetX"));
    EXPECT_EQ(a.offsetY, number("offsetY"));
    EXPECT_EQ(a.width, number("width"));
    EXPECT_EQ(a.height, number("height"));
    EXPECT_EQ(a.pixelType, record("ICAP_PIXELTYPE"));
    EXPECT_EQ(a.bitDepth, record("ICAP_BITDEPTH"));
    EXPECT_EQ(a.resolution, record("ICAP_XRESOLUTION"));
  }
}

SANE_Parameters Predict(ScanMode mode, int dpi, double l, double t, double r, double b) {
  ScanSettings s;
  s.mode = mode;
  s.resolution = dpi;
  s.tlX = SANE_FIX(l);
  s.tlY = SANE_FIX(t);
  s.brX = SANE_FIX(r);
  s.brY = SANE_FIX(b);
  return PredictParameters(s);
}

TEST(SaneOptions, PredictedFramesFollowTheDriverAndTheDevice) {
  // A letter page at 300 dpi in colour: 2550 x 3300 RGB.
  SANE_Parameters p = Predict(ScanMode::kColor, 300, 0, 0, 215.9, 279.4);
  EXPECT_EQ(p.format, SANE_FRAME_RGB);
  EXPECT_EQ(p.depth, 8);
  EXPECT_EQ(p.pixels_per_line, 2550);
  EXPECT_EQ(p.bytes_per_line, 7650);
  EXPECT_EQ(p.lines, 3300);
  EXPECT_TRUE(p.last_frame);

  // Colour above 300 dpi is not a scan of this backend's: its options never offer it.
  p = Predict(ScanMode::kColor, 600, 0, 0, 215.9, 279.4);
  EXPECT_EQ(p.lines, 0);
  // Grey keeps 600 dpi.
  p = Predict(ScanMode::kGray, 600, 0, 0, 215.9, 296.926);
  EXPECT_EQ(p.format, SANE_FRAME_GRAY);
  EXPECT_EQ(p.pixels_per_line, 5100);
  EXPECT_EQ(p.bytes_per_line, 5100);
  EXPECT_EQ(p.lines, 7014);

  // Line art: whole bytes of width, 1 bit a pixel.
  p = Predict(ScanMode::kLineart, 75, 0, 0, 215.9, 296.926);
  EXPECT_EQ(p.depth, 1);
  EXPECT_EQ(p.pixels_per_line, 632);  // 637.5 truncated to whole bytes
  EXPECT_EQ(p.bytes_per_line, 79);
  EXPECT_EQ(p.lines, 877);

  // An empty or upside-down area gives nothing to scan.
  p = Predict(ScanMode::kGray, 150, 50, 50, 50, 100);
  EXPECT_EQ(p.pixels_per_line, 0);
  EXPECT_EQ(p.lines, 0);
  EXPECT_EQ(p.bytes_per_line, 0);
  p = Predict(ScanMode::kGray, 150, 60, 0, 50, 100);
  EXPECT_EQ(p.lines, 0);
}

}  // namespace
}  // namespace tarvell::sane
