#include "sim/TestChart.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <tiffio.h>

#include "imaging/ImageConversion.h"
#include "platform/system/SystemInfo.h"

using namespace tarvell::sim;

namespace {

ChartRequest Request(int type, int dpi, int64_t l, int64_t t, int64_t r, int64_t b) {
  ChartRequest req;
  req.contentType = type;
  req.resolution = dpi;
  req.window = {l, t, r, b};
  return req;
}

std::string HeaderOf(const std::vector<uint8_t>& pnm, size_t n) {
  return std::string(pnm.begin(), pnm.begin() + std::min(n, pnm.size()));
}

uint32_t Packed(Rgb c) { return (uint32_t(c.r) << 16) | (uint32_t(c.g) << 8) | c.b; }

// Pixel of a 300 dpi request that lies on the glass point (x600, y600).
uint32_t At300(const std::vector<uint8_t>& pnm, const ChartGeometry& g, int64_t x600, int64_t y600) {
  return SampleAt(pnm, g, uint32_t(x600 / 2), uint32_t(y600 / 2));
}

}  // namespace

TEST(TestChartHeader, ThreeContentTypesGiveP4P5P6WithOneCommentLine) {
  const std::string p6 = "P6\n# Tarvell K310 test chart, 300 dpi\n100 50\n255\n";
  const auto colour = RenderChart(Request(kContentColour, 300, 0, 0, 100, 50));
  EXPECT_EQ(HeaderOf(colour, p6.size()), p6);
  EXPECT_EQ(colour.size(), p6.size() + 100 * 50 * 3);

  const std::string p5 = "P5\n# Tarvell K310 test chart, 150 dpi\n100 50\n255\n";
  const auto grey = RenderChart(Request(kContentGrey, 150, 0, 0, 100, 50));
  EXPECT_EQ(HeaderOf(grey, p5.size()), p5);
  EXPECT_EQ(grey.size(), p5.size() + 100 * 50);

  // Line art has no maximum line and packs rows to whole bytes: 12 pixels take 2 bytes.
  const std::string p4 = "P4\n# Tarvell K310 test chart, 600 dpi\n12 2\n";
  const auto lineArt = RenderChart(Request(kContentLineArt, 600, 0, 0, 12, 2));
  EXPECT_EQ(HeaderOf(lineArt, p4.size()), p4);
  EXPECT_EQ(lineArt.size(), p4.size() + 2 * 2);
}

TEST(TestChartGeometry, SizeFollowsWindowAndClipsToTheGlass) {
  ChartGeometry g = ComputeChartGeometry(Request(kContentColour, 300, 0, 0, 2550, 3507));
  EXPECT_EQ(g.width, 2550u);
  EXPECT_EQ(g.height, 3507u);
  EXPECT_EQ(g.dataSize(), 2550u * 3507 * 3);
  EXPECT_EQ(g.totalSize(), g.header.size() + g.dataSize());

  g = ComputeChartGeometry(Request(kContentGrey, 150, 3, 4, 1203, 1654));
  EXPECT_EQ(g.width, 1200u);
  EXPECT_EQ(g.height, 1650u);

  // 8.5 × 75 = 637.5 and 7014 / 8 = 876.75: the glass ends inside pixels 637 and 876.
  g = ComputeChartGeometry(Request(kContentLineArt, 75, 0, 0, 5000, 9000));
  EXPECT_EQ(g.width, 638u);
  EXPECT_EQ(g.height, 877u);
  EXPECT_EQ(g.rowBytes, 80u);
}

TEST(TestChartGeometry, UnusableRequestsAreNamedNotRendered) {
  EXPECT_EQ(ChartRequestProblem(Request(kContentColour, 300, 0, 0, 10, 10)), "");
  EXPECT_NE(ChartRequestProblem(Request(3, 300, 0, 0, 10, 10)), "");
  EXPECT_NE(ChartRequestProblem(Request(-1, 300, 0, 0, 10, 10)), "");
  EXPECT_NE(ChartRequestProblem(Request(kContentColour, 0, 0, 0, 10, 10)), "");
  EXPECT_NE(ChartRequestProblem(Request(kContentColour, 601, 0, 0, 10, 10)), "");
  EXPECT_EQ(ChartRequestProblem(Request(kContentColour, 600, 0, 0, 10, 10)), "");
  EXPECT_NE(ChartRequestProblem(Request(kContentColour, 300, 10, 0, 10, 10)), "");
  EXPECT_NE(ChartRequestProblem(Request(kContentColour, 300, 0, 10, 10, 5)), "");
  EXPECT_NE(ChartRequestProblem(Request(kContentColour, 300, -1, 0, 10, 10)), "");
  EXPECT_NE(ChartRequestProblem(Request(kContentColour, 300, 2550, 0, 2600, 10)), "");
  EXPECT_EQ(ComputeChartGeometry(Request(kContentColour, 0, 0, 0, 10, 10)).width, 0u);
  EXPECT_TRUE(RenderChart(Request(kContentColour, 0, 0, 0, 10, 10)).empty());
  EXPECT_EQ(ExpectedSample(Request(kContentColour, 0, 0, 0, 10, 10), 1, 1), 0xFFFFFFu);
}

TEST(TestChartPixels, LandmarksOfAColourPageAt300Dpi) {
  const ChartRequest req = Request(kContentColour, 300, 0, 0, 2550, 3507);
  const ChartGeometry g = ComputeChartGeometry(req);
  const auto pnm = RenderChart(req);
  ASSERT_EQ(pnm.size(), g.totalSize());

  EXPECT_EQ(SampleAt(pnm, g, 0, 0), 0x000000u);        // frame
  EXPECT_EQ(SampleAt(pnm, g, 2549, 3506), 0x000000u);  // frame, far corner
  EXPECT_EQ(At300(pnm, g, 2550, 2600), 0xFFFFFFu);     // paper between ramps and ring
  EXPECT_EQ(At300(pnm, g, 1200, 20), 0x000000u);       // the 2-inch tick
  EXPECT_EQ(At300(pnm, g, 1230, 20), 0xFFFFFFu);       // beside it
  EXPECT_EQ(At300(pnm, g, 1230, 250), 0xFFFFFFu);      // below the tenth tick
  for (int i = 0; i < chart::kPatchCount; ++i) {
    const int64_t x = chart::kPatchLeft + i * chart::kPatchPitch + chart::kPatchWidth / 2;
    EXPECT_EQ(At300(pnm, g, x, 900), Packed(chart::PatchColour(i))) << "patch " << i;
  }
  EXPECT_EQ(chart::PatchColour(0), (Rgb{255, 0, 0}));
  EXPECT_EQ(chart::PatchColour(6), (Rgb{0, 0, 0}));
  // The grey ramp runs from black to white, never getting darker.
  uint32_t last = 0;
  for (int64_t x = chart::kRampLeft; x < chart::kRampRight; x += 2) {
    const uint32_t v = At300(pnm, g, x, 1500);
    EXPECT_EQ(v >> 16, v & 0xFF);
    EXPECT_GE(v & 0xFF, last & 0xFF);
    last = v;
  }
  EXPECT_LE(At300(pnm, g, chart::kRampLeft, 1500) & 0xFF, 1u);
  EXPECT_GE(last & 0xFF, 254u);
  // The hue ramp starts red and passes through green and blue.
  EXPECT_EQ(At300(pnm, g, chart::kRampLeft, 2000), 0xFF0000u);
  EXPECT_EQ(At300(pnm, g, chart::kRampLeft + 1400, 2000) & 0x00FF00u, 0x00FF00u);
  EXPECT_EQ(At300(pnm, g, chart::kRampLeft + 2800, 2000) & 0x0000FFu, 0x0000FFu);
  // The ring: black on its rim left, right and top, white inside and at its centre's corners.
  EXPECT_EQ(At300(pnm, g, chart::kRingCentreX - 1790, chart::kRingCentreY + 100), 0u);
  EXPECT_EQ(At300(pnm, g, chart::kRingCentreX + 1790, chart::kRingCentreY - 100), 0u);
  EXPECT_EQ(At300(pnm, g, chart::kRingCentreX + 100, chart::kRingCentreY - 1790), 0u);
  EXPECT_EQ(At300(pnm, g, chart::kRingCentreX + 600, chart::kRingCentreY + 600), 0xFFFFFFu);
  EXPECT_EQ(At300(pnm, g, chart::kRingCentreX, chart::kRingCentreY + 600), 0u);  // crosshair
}

TEST(TestChartPixels, RenderedImageMatchesExpectedSampleEverywhereSampled) {
  for (int type : {kContentLineArt, kContentGrey, kContentColour}) {
    for (int dpi : {75, 200, 600}) {
      const ChartRequest req = Request(type, dpi, dpi / 3, dpi / 5, dpi * 8, dpi * 7);
      const ChartGeometry g = ComputeChartGeometry(req);
      const auto pnm = RenderChart(req);
      ASSERT_EQ(pnm.size(), g.totalSize());
      int mismatches = 0;
      for (uint32_t row = 0; row < g.height; row += 37)
        for (uint32_t col = 0; col < g.width; col += 13)
          mismatches += SampleAt(pnm, g, col, row) != ExpectedSample(req, col, row);
      EXPECT_EQ(mismatches, 0) << "type " << type << " dpi " << dpi;
    }
  }
}

TEST(TestChartPixels, GreyAndLineArtFollowTheColourChart) {
  const ChartRequest grey = Request(kContentGrey, 100, 0, 0, 850, 1169);
  const ChartGeometry g = ComputeChartGeometry(grey);
  const auto pnm = RenderChart(grey);
  // Red patch centre at 100 dpi: x600 675 → column 112, y600 900 → row 150.
  EXPECT_EQ(SampleAt(pnm, g, 112, 150), GreyOf({255, 0, 0}));
  EXPECT_EQ(SampleAt(pnm, g, 0, 0), 0u);
  EXPECT_EQ(SampleAt(pnm, g, 425, 433), 255u);

  // Line art: the frame is black, paper white, and a mid-grey patch about half black.
  const ChartRequest art = Request(kContentLineArt, 100, 0, 0, 850, 1169);
  const ChartGeometry ga = ComputeChartGeometry(art);
  const auto bits = RenderChart(art);
  EXPECT_EQ(SampleAt(bits, ga, 0, 0), 1u);
  EXPECT_EQ(SampleAt(bits, ga, 425, 433), 0u);
  int black = 0;
  const int64_t greyPatch = chart::kPatchLeft + 7 * chart::kPatchPitch;
  for (uint32_t row = 110; row < 190; ++row)
    for (uint32_t col = uint32_t(greyPatch / 6 + 2); col < uint32_t(greyPatch / 6 + 72); ++col)
      black += int(SampleAt(bits, ga, col, row));
  EXPECT_NEAR(black, 80 * 70 / 2, 80 * 70 / 10);
  // The padding bits at the end of a packed row stay clear (850 = 106 × 8 + 2).
  const size_t lastByte = ga.header.size() + ga.rowBytes - 1;
  EXPECT_EQ(bits[lastByte] & 0x3F, 0);
}

TEST(TestChartPixels, WindowOffsetShiftsTheChart) {
  // A window that begins inside the blue patch at 200 dpi.
  const int64_t x600 = chart::kPatchLeft + 2 * chart::kPatchPitch + 30;
  const ChartRequest req = Request(kContentColour, 200, x600 / 3, 900 / 3, x600 / 3 + 10, 900 / 3 + 10);
  const auto pnm = RenderChart(req);
  EXPECT_EQ(SampleAt(pnm, ComputeChartGeometry(req), 0, 0), 0x0000FFu);
  EXPECT_EQ(ExpectedSample(req, 9, 9), 0x0000FFu);
  EXPECT_EQ(ChartColourAt(-5, 100), (Rgb{255, 255, 255}));
  EXPECT_EQ(ChartColourAt(100, kGlassHeight), (Rgb{255, 255, 255}));
}

// The driver converts what the device sends; libtiff must read back the very samples the chart
// promises, for each content type.
TEST(TestChartPixels, DriverConversionReadsBackTheChart) {
  tarvell::SetSystemVersion(kDefaultSystemVersion);
  for (int type : {kContentLineArt, kContentGrey, kContentColour}) {
    SCOPED_TRACE(type);
    const ChartRequest req = Request(type, 50, 7, 9, 300, 400);
    const ChartGeometry g = ComputeChartGeometry(req);
    const auto pnm = RenderChart(req);
    TIFFBlock tiff;
    UInt32 tiffSize = 0;
    ASSERT_EQ(ConvertPPMToTIFF(pnm.data(), pnm.size(), &tiff, &tiffSize), 0);

    char path[] = "/tmp/chart-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, tiff.get(), tiffSize), ssize_t(tiffSize));
    close(fd);
    TIFF* t = TIFFOpen(path, "r");
    ASSERT_NE(t, nullptr);
    uint32_t width = 0, height = 0;
    uint16_t bps = 0, spp = 0, photometric = 0;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric);
    EXPECT_EQ(width, g.width);
    EXPECT_EQ(height, g.height);
    EXPECT_EQ(bps, type == kContentLineArt ? 1 : 8);
    EXPECT_EQ(spp, type == kContentColour ? 3 : 1);
    EXPECT_EQ(photometric, type == kContentLineArt ? PHOTOMETRIC_MINISWHITE
                           : type == kContentGrey  ? PHOTOMETRIC_MINISBLACK
                                                   : PHOTOMETRIC_RGB);
    // One scanline read back, seen as a one-row stream without header.
    ChartGeometry lineGeometry = g;
    lineGeometry.header.clear();
    std::vector<uint8_t> line(size_t(TIFFScanlineSize(t)));
    ASSERT_GE(line.size(), g.rowBytes);
    int mismatches = 0;
    for (uint32_t row = 0; row < height; ++row) {
      ASSERT_EQ(TIFFReadScanline(t, line.data(), row), 1);
      for (uint32_t col = 0; col < width; ++col)
        mismatches += SampleAt(line, lineGeometry, col, 0) != ExpectedSample(req, col, row);
    }
    EXPECT_EQ(mismatches, 0);
    TIFFClose(t);
    std::remove(path);
  }
}

TEST(TestChartPixels, ShortOrCorruptStreamsAreRefusedByTheConversion) {
  auto pnm = RenderChart(Request(kContentGrey, 75, 0, 0, 50, 40));
  TIFFBlock tiff;
  UInt32 size = 0;
  auto shortened = pnm;
  shortened.pop_back();
  EXPECT_EQ(ConvertPPMToTIFF(shortened.data(), shortened.size(), &tiff, &size), 1);
  const size_t header = ComputeChartGeometry(Request(kContentGrey, 75, 0, 0, 50, 40)).header.size();
  std::replace(pnm.begin(), pnm.begin() + long(header), uint8_t('\n'), uint8_t(' '));
  EXPECT_EQ(ConvertPPMToTIFF(pnm.data(), pnm.size(), &tiff, &size), 1);
  EXPECT_EQ(tiff, nullptr);
}
