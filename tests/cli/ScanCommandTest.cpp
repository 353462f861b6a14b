#include "cli/ScanCommand.h"
#include "host/Scanners.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using tarvell::ica::HostOptions;
using tarvell::ica::MakeScanSettings;
using tarvell::ica::ParseScanRequest;
using tarvell::ica::PlanRequest;
using tarvell::ica::ScanRequest;

HostOptions Options(std::vector<std::string> words) {
  words.insert(words.begin(), {"scanner-module", "scan"});
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  HostOptions options;
  std::string error;
  EXPECT_TRUE(tarvell::ica::ParseCommandLine(int(argv.size()), argv.data(), &options, &error)) << error;
  return options;
}

SInt32 Int(const plist::DictionaryRef& area, const char* key) {
  plist::NumberRef n = plist::AsNumber(area->Get(key));
  EXPECT_TRUE(n) << key;
  return n ? n->AsInt32() : -1;
}

SInt32 RecordInt(const plist::DictionaryRef& area, const char* key) {
  plist::DictionaryRef record = plist::AsDictionary(area->Get(key));
  EXPECT_TRUE(record) << key;
  if (!record) return -1;
  EXPECT_EQ(plist::AsString(record->Get("type"))->value(), "TWON_ONEVALUE");
  return plist::AsNumber(record->Get("value"))->AsInt32();
}

TEST(ScanCommandTest, DefaultsAreColourLetterAt300Dpi) {
  ScanRequest request;
  std::string error;
  ASSERT_TRUE(ParseScanRequest(Options({}), &request, &error)) << error;
  EXPECT_EQ(request.mode, ScanRequest::kColor);
  EXPECT_EQ(request.resolution, 300u);
  EXPECT_EQ(request.scale, 100u);
  EXPECT_TRUE(request.output.empty());

  plist::DictionaryRef area = plist::AsDictionary(MakeScanSettings(request, 0x1039)->Get("userScanArea"));
  ASSERT_TRUE(area);
  EXPECT_EQ(RecordInt(area, "ICAP_PIXELTYPE"), 2);
  EXPECT_EQ(RecordInt(area, "ICAP_BITDEPTH"), 8);
  EXPECT_EQ(RecordInt(area, "ICAP_XRESOLUTION"), 300);
  EXPECT_EQ(RecordInt(area, "ICAP_YRESOLUTION"), 300);
  EXPECT_EQ(Int(area, "offsetX"), 0);
  EXPECT_EQ(Int(area, "width"), 2550);
  EXPECT_EQ(Int(area, "height"), 3300);
}

TEST(ScanCommandTest, AreaInMillimetresBecomesUnitsAndPixelsInEitherDialect) {
  ScanRequest request;
  std::string error;
  ASSERT_TRUE(ParseScanRequest(Options({"--mode", "lineart", "--resolution", "150", "-l", "25.4", "-t", "12.7", "-x",
                                        "50.8", "-y", "101.6", "--scale", "50", "-o", "a.tiff"}),
                               &request, &error))
      << error;
  EXPECT_EQ(request.mode, ScanRequest::kLineart);
  EXPECT_EQ(request.output, "a.tiff");

  plist::DictionaryRef cap = plist::AsDictionary(MakeScanSettings(request, 0x1030)->Get("userScanArea"));
  EXPECT_EQ(RecordInt(cap, "ICAP_PIXELTYPE"), 0);
  EXPECT_EQ(RecordInt(cap, "ICAP_BITDEPTH"), 1);
  plist::DictionaryRef scaling = plist::AsDictionary(cap->Get("ICAP_XSCALING"));
  EXPECT_FLOAT_EQ(plist::AsNumber(scaling->Get("value"))->AsFloat32(), 0.5f);
  // Offsets in 1/600 inch, sizes in pixels at the resolution.
  EXPECT_EQ(Int(cap, "offsetX"), 600);
  EXPECT_EQ(Int(cap, "offsetY"), 300);
  EXPECT_EQ(Int(cap, "width"), 300);
  EXPECT_EQ(Int(cap, "height"), 600);

  plist::DictionaryRef flat = plist::AsDictionary(MakeScanSettings(request, 0x102F)->Get("userScanArea"));
  EXPECT_EQ(Int(flat, "colorMode"), 10);
  EXPECT_EQ(Int(flat, "bitDepth"), 1);
  EXPECT_EQ(Int(flat, "resolutionX"), 150);
  EXPECT_FLOAT_EQ(plist::AsNumber(flat->Get("scaling"))->AsFloat32(), 50.0f);
  EXPECT_EQ(Int(flat, "offsetX"), 600);
  EXPECT_EQ(Int(flat, "width"), 300);
  EXPECT_FALSE(flat->Has("ICAP_PIXELTYPE"));

  request.mode = ScanRequest::kGray;
  flat = plist::AsDictionary(MakeScanSettings(request, 0x1028)->Get("userScanArea"));
  EXPECT_EQ(Int(flat, "colorMode"), 10);
  EXPECT_EQ(Int(flat, "bitDepth"), 8);
}

// The glass as the driver reports it in the flat dialect.
plist::DictionaryRef Caps() {
  plist::DictionaryRef device = plist::MakeDictionary();
  device->Set("resolutionX", plist::MakeInteger(600));
  device->Set("tabletWidth", plist::MakeInteger(5100));
  device->Set("tabletHeight", plist::MakeInteger(7014));
  plist::DictionaryRef caps = plist::MakeDictionary();
  caps->Set("device", device);
  return caps;
}

TEST(ScanCommandTest, AreasMustStayOnTheGlassAndHoldAPixel) {
  const struct {
    std::vector<std::string> words;
    bool ok;
  } cases[] = {
      {{"-l", "100", "-x", "115.9"}, true},  // exactly to the right edge
      {{"-l", "100", "-x", "116"}, false},
      {{"-t", "0", "-y", "296.9"}, true},  // the glass is 11.69 inch long
      {{"-t", "1", "-y", "296.9"}, false},
      {{"-x", "0"}, false},
      {{"--mode", "Lineart", "-x", "0.5"}, false},  // not one byte of pixels at 300 dpi
      {{"-x", "nan"}, false},
      {{"-y", "1e400"}, false},
      {{"--resolution", "601"}, false},
      {{"--resolution", "0x100"}, false},
      {{"--scale", "1001"}, false},
      {{"--mode", ""}, false},
      {{"-o", ""}, false},
  };
  for (const auto& c : cases) {
    ScanRequest request;
    std::string error;
    tarvell::host::ScanSpace space;
    tarvell::host::ScanPlan plan;
    ASSERT_TRUE(tarvell::host::ScanSpaceOf(nullptr, Caps(), &space));
    EXPECT_EQ(ParseScanRequest(Options(c.words), &request, &error) && PlanRequest(request, space, &plan, &error), c.ok)
        << c.words[0] << " " << c.words[1];
    EXPECT_EQ(error.empty(), c.ok) << error;
  }
}

}  // namespace
