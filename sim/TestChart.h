// The test chart the simulated scanner "scans": a page a person recognises at a glance (frame,
// rulers in inches and centimetres, colour patches, grey and colour ramps, a ring with a
// crosshair), rendered as the binary PNM stream the real device sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "usb/DeviceFacts.h"

namespace tarvell::sim {

// The chart is drawn on the glass in 1/600 inch, the device's native grid.
constexpr int64_t kChartUnitsPerInch = tarvell::device::kNativeResolution;
constexpr int64_t kGlassWidth = tarvell::device::kGlassWidth;
constexpr int64_t kGlassHeight = tarvell::device::kGlassHeight;

// Content types the device knows (the job's "contentType"): line art, grey, colour.
enum ContentType : int { kContentLineArt = 0, kContentGrey = 1, kContentColour = 2 };

// A scan window in pixels at the request's resolution: [left, right) x [top, bottom).
struct ScanWindow {
  int64_t left = 0;
  int64_t top = 0;
  int64_t right = 0;
  int64_t bottom = 0;
};

struct ChartRequest {
  int contentType = kContentColour;
  int resolution = 300;  // dots per inch
  ScanWindow window{0, 0, 2550, 3300};
};

// Size and layout of the PNM stream for a request.
struct ChartGeometry {
  uint32_t width = 0;   // pixels
  uint32_t height = 0;  // pixels
  int formatDigit = 6;  // 4 (P4), 5 (P5) or 6 (P6)
  size_t rowBytes = 0;  // packed: P4 rows take ceil(width / 8) bytes
  std::string header;   // magic, comment, size and (except P4) maximum lines
  size_t dataSize() const { return rowBytes * height; }
  size_t totalSize() const { return header.size() + dataSize(); }
};

struct Rgb {
  uint8_t r = 0, g = 0, b = 0;
  bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
  bool operator!=(const Rgb& o) const { return !(*this == o); }
};

// Why a request cannot be scanned (empty when it can): unknown content type, resolution
// outside 1..600 dpi (the device's range), or a window that is empty or starts off the glass.
std::string ChartRequestProblem(const ChartRequest& request);

// Geometry of the image for a request whose problem is empty. The window is clipped to the
// glass (ceil(8.5 × dpi) by ceil(11.69 × dpi) pixels); the device cannot see past it.
ChartGeometry ComputeChartGeometry(const ChartRequest& request);

// Renders header and pixels in one buffer sized once. Requires an empty problem.
std::vector<uint8_t> RenderChart(const ChartRequest& request);

// The chart's colour at a point of the glass given in 1/600 inch; white off the glass.
Rgb ChartColourAt(int64_t x600, int64_t y600);

// The glass point (1/600 inch) sampled by pixel (col, row) of a request: its centre (-1, off
// the glass, for a request without a resolution).
int64_t ChartXForColumn(const ChartRequest& request, uint32_t col);
int64_t ChartYForRow(const ChartRequest& request, uint32_t row);

// The sample the rendered image holds at (col, row): for colour 0xRRGGBB, for grey the level
// 0..255, for line art 1 (black) or 0 (white). Line art dithers the grey level with a 4×4
// ordered matrix so that ramps and patches stay visible.
uint32_t ExpectedSample(const ChartRequest& request, uint32_t col, uint32_t row);

// The sample of a rendered stream at (col, row), in the form ExpectedSample gives.
uint32_t SampleAt(const std::vector<uint8_t>& pnm, const ChartGeometry& geometry, uint32_t col, uint32_t row);

// Grey level of a colour as the device computes it.
inline uint8_t GreyOf(Rgb c) { return uint8_t((unsigned(c.r) * 77 + unsigned(c.g) * 150 + unsigned(c.b) * 29) >> 8); }

// Landmarks of the chart (1/600 inch), for tests and for people reading the image.
namespace chart {
constexpr int64_t kBorder = 12;  // black frame around the glass
constexpr int64_t kRulerDepth = 300;
constexpr int64_t kPatchTop = 600, kPatchBottom = 1200;
constexpr int64_t kPatchLeft = 450, kPatchWidth = 450, kPatchPitch = 525;
constexpr int kPatchCount = 8;
constexpr int64_t kGreyRampTop = 1350, kGreyRampBottom = 1800;
constexpr int64_t kRampLeft = 450, kRampRight = 4650;
constexpr int64_t kHueRampTop = 1875, kHueRampBottom = 2325;
constexpr int64_t kRingCentreX = 2550, kRingCentreY = 4650;
constexpr int64_t kRingOuter = 1800, kRingInner = 1776;
// Patch colours left to right: red, green, blue, cyan, magenta, yellow, black, mid grey.
Rgb PatchColour(int index);
}  // namespace chart

}  // namespace tarvell::sim
