#include "sim/TestChart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace tarvell::sim {

using tarvell::device::GlassPixels;

namespace {

constexpr int64_t kPastEverything = std::numeric_limits<int64_t>::max();
const Rgb kWhite{255, 255, 255};
const Rgb kBlack{0, 0, 0};

enum SpanKind : uint8_t { kSolid, kGreyRamp, kHueRamp };

// One run of a chart row in 1/600 inch: [x0, x1) painted one way.
struct Span {
  int64_t x0;
  int64_t x1;
  SpanKind kind;
  Rgb colour;
  bool operator==(const Span& o) const { return x0 == o.x0 && x1 == o.x1 && kind == o.kind && colour == o.colour; }
};

// A chart row as sorted, gap-free spans from 0 to past everything. Later paint covers earlier.
class RowPlan {
 public:
  void reset() {
    spans_.clear();
    spans_.push_back({0, kPastEverything, kSolid, kWhite});
  }

  // Paints [x0, x1) clipped to the glass.
  void paint(int64_t x0, int64_t x1, SpanKind kind, Rgb colour) {
    if (x0 < 0) x0 = 0;
    if (x1 > kGlassWidth) x1 = kGlassWidth;
    if (x0 >= x1) return;
    scratch_.clear();
    bool placed = false;
    for (const Span& s : spans_) {
      if (s.x1 <= x0 || s.x0 >= x1) {
        if (!placed && s.x0 >= x1) {
          scratch_.push_back({x0, x1, kind, colour});
          placed = true;
        }
        scratch_.push_back(s);
        continue;
      }
      if (s.x0 < x0) scratch_.push_back({s.x0, x0, s.kind, s.colour});
      if (!placed) {
        scratch_.push_back({x0, x1, kind, colour});
        placed = true;
      }
      if (s.x1 > x1) scratch_.push_back({x1, s.x1, s.kind, s.colour});
    }
    spans_.swap(scratch_);
  }

  const std::vector<Span>& spans() const { return spans_; }
  bool operator==(const RowPlan& o) const { return spans_ == o.spans_; }

 private:
  std::vector<Span> spans_;
  std::vector<Span> scratch_;
};

// 5 × 7 digits, one byte a row, bit 4 leftmost.
const uint8_t kDigitFont[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
};
constexpr int64_t kFontCell = 12;  // one font dot is 1/50 inch
constexpr int64_t kDigitAdvance = 6 * kFontCell;
constexpr int64_t kDigitHeight = 7 * kFontCell;

void PaintNumber(RowPlan& plan, int64_t y, int number, int64_t x0, int64_t y0) {
  if (y < y0 || y >= y0 + kDigitHeight) return;
  const int fontRow = int((y - y0) / kFontCell);
  char text[16];
  const int n = std::snprintf(text, sizeof text, "%d", number);
  for (int i = 0; i < n; ++i) {
    const uint8_t bits = kDigitFont[text[i] - '0'][fontRow];
    for (int b = 0; b < 5; ++b) {
      if (bits & (0x10 >> b)) {
        const int64_t x = x0 + i * kDigitAdvance + b * kFontCell;
        plan.paint(x, x + kFontCell, kSolid, kBlack);
      }
    }
  }
}

// Position of millimetre k down the glass, in 1/600 inch, rounded.
int64_t MillimetreY(int64_t k) { return (k * 6000 + 127) / 254; }

void BuildPlan(RowPlan& plan, int64_t y) {
  using namespace chart;
  plan.reset();
  if (y < 0 || y >= kGlassHeight) return;
  if (y < kBorder || y >= kGlassHeight - kBorder) {
    plan.paint(0, kGlassWidth, kSolid, kBlack);
    return;
  }
  plan.paint(0, kBorder, kSolid, kBlack);
  plan.paint(kGlassWidth - kBorder, kGlassWidth, kSolid, kBlack);

  // Inch ruler along the top: inch, half-inch and tenth ticks hanging from the frame.
  if (y < kBorder + kRulerDepth) {
    const int64_t depth = y - kBorder;
    for (int64_t k = 1; k * 60 < kGlassWidth - kBorder; ++k) {
      const int64_t len = k % 10 == 0 ? 240 : (k % 5 == 0 ? 160 : 90);
      if (depth < len) plan.paint(k * 60 - 3, k * 60 + 3, kSolid, kBlack);
    }
    for (int inch = 1; inch * kChartUnitsPerInch < kGlassWidth; ++inch)
      PaintNumber(plan, y, inch, inch * kChartUnitsPerInch + 24, kBorder + 100);
  }

  // Centimetre ruler down the left side, below the top ruler.
  if (y >= kBorder + kRulerDepth) {
    const int64_t k = (y * 254 + 3000) / 6000;  // nearest millimetre
    const int64_t p = MillimetreY(k);
    if (y >= p - 3 && y < p + 3) {
      const int64_t len = k % 10 == 0 ? 240 : (k % 5 == 0 ? 160 : 90);
      plan.paint(kBorder, kBorder + len, kSolid, kBlack);
    }
    for (int64_t cm = 1; MillimetreY(cm * 10) < kGlassHeight; ++cm) {
      const int64_t p10 = MillimetreY(cm * 10);
      if (p10 + 24 >= kBorder + kRulerDepth && y >= p10 && y < p10 + 24 + kDigitHeight)
        PaintNumber(plan, y, int(cm), kBorder + 100, p10 + 24);
    }
  }

  if (y >= kPatchTop && y < kPatchBottom) {
    for (int i = 0; i < kPatchCount; ++i) {
      const int64_t x0 = kPatchLeft + i * kPatchPitch;
      plan.paint(x0, x0 + kPatchWidth, kSolid, PatchColour(i));
    }
  }
  if (y >= kGreyRampTop && y < kGreyRampBottom) plan.paint(kRampLeft, kRampRight, kGreyRamp, kBlack);
  if (y >= kHueRampTop && y < kHueRampBottom) plan.paint(kRampLeft, kRampRight, kHueRamp, kBlack);

  // A ring with a crosshair: round only if both axes were scaled alike.
  const int64_t dy = y - kRingCentreY;
  if (dy > -kRingOuter && dy < kRingOuter) {
    const int64_t outer = int64_t(std::sqrt(double(kRingOuter * kRingOuter - dy * dy)));
    if (dy > -kRingInner && dy < kRingInner) {
      const int64_t inner = int64_t(std::sqrt(double(kRingInner * kRingInner - dy * dy)));
      plan.paint(kRingCentreX - outer, kRingCentreX - inner, kSolid, kBlack);
      plan.paint(kRingCentreX + inner, kRingCentreX + outer, kSolid, kBlack);
    } else {
      plan.paint(kRingCentreX - outer, kRingCentreX + outer, kSolid, kBlack);
    }
    plan.paint(kRingCentreX - 3, kRingCentreX + 3, kSolid, kBlack);
  }
  if (dy >= -3 && dy < 3) plan.paint(kRingCentreX - kRingOuter, kRingCentreX + kRingOuter, kSolid, kBlack);
}

Rgb Evaluate(const Span& s, int64_t x) {
  using namespace chart;
  switch (s.kind) {
    case kSolid: return s.colour;
    case kGreyRamp: {
      const uint8_t v = uint8_t((x - kRampLeft) * 255 / (kRampRight - 1 - kRampLeft));
      return {v, v, v};
    }
    case kHueRamp: {
      const int64_t h = (x - kRampLeft) * 1530 / (kRampRight - 1 - kRampLeft);
      const uint8_t f = uint8_t(h % 255);
      const uint8_t g = uint8_t(255 - f);
      switch (h / 255) {
        case 0: return {255, f, 0};
        case 1: return {g, 255, 0};
        case 2: return {0, 255, f};
        case 3: return {0, g, 255};
        case 4: return {f, 0, 255};
        case 5: return {255, 0, g};
        default: return {255, 0, 0};
      }
    }
  }
  return kWhite;
}

Rgb EvaluatePlan(const RowPlan& plan, int64_t x) {
  for (const Span& s : plan.spans())
    if (x >= s.x0 && x < s.x1) return Evaluate(s, x);
  return kWhite;
}

const uint8_t kBayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};

inline bool DitherBlack(uint8_t grey, uint32_t col, uint32_t row) { return grey < kBayer[row & 3][col & 3] * 16 + 8; }

int FormatDigit(int contentType) { return contentType == kContentLineArt ? 4 : (contentType == kContentGrey ? 5 : 6); }

// Walks the columns of one row span by span; fill(span, firstCol, endCol) writes them.
template <typename Fill>
void ForEachRun(const RowPlan& plan, const std::vector<int64_t>& colX, Fill fill) {
  const size_t width = colX.size();
  size_t col = 0;
  for (const Span& s : plan.spans()) {
    if (col >= width) break;
    size_t end = col;
    while (end < width && colX[end] < s.x1) ++end;
    if (end > col) fill(s, col, end);
    col = end;
  }
}

}  // namespace

namespace chart {
Rgb PatchColour(int index) {
  static const Rgb kPatches[kPatchCount] = {{255, 0, 0},   {0, 255, 0},   {0, 0, 255}, {0, 255, 255},
                                            {255, 0, 255}, {255, 255, 0}, {0, 0, 0},   {128, 128, 128}};
  return index >= 0 && index < kPatchCount ? kPatches[index] : kWhite;
}
}  // namespace chart

std::string ChartRequestProblem(const ChartRequest& r) {
  if (r.contentType < kContentLineArt || r.contentType > kContentColour)
    return "unknown content type " + std::to_string(r.contentType);
  if (r.resolution < 1 || r.resolution > int(tarvell::device::kResolutions.back()))
    return "unsupported resolution " + std::to_string(r.resolution);
  const ScanWindow& w = r.window;
  if (w.left < 0 || w.top < 0 || w.right <= w.left || w.bottom <= w.top) return "empty scan window";
  if (w.left >= GlassPixels(device::kGlassWidth, UInt32(r.resolution)) ||
      w.top >= GlassPixels(device::kGlassHeight, UInt32(r.resolution)))
    return "scan window off the glass";
  return {};
}

ChartGeometry ComputeChartGeometry(const ChartRequest& r) {
  ChartGeometry g;
  if (!ChartRequestProblem(r).empty()) return g;
  const int64_t right = std::min<int64_t>(r.window.right, GlassPixels(device::kGlassWidth, UInt32(r.resolution)));
  const int64_t bottom = std::min<int64_t>(r.window.bottom, GlassPixels(device::kGlassHeight, UInt32(r.resolution)));
  g.width = uint32_t(right - r.window.left);
  g.height = uint32_t(bottom - r.window.top);
  g.formatDigit = FormatDigit(r.contentType);
  g.rowBytes = g.formatDigit == 4 ? (g.width + 7) / 8 : size_t(g.width) * (g.formatDigit == 6 ? 3 : 1);
  char text[128];
  std::snprintf(text, sizeof text, "P%d\n# Tarvell K310 test chart, %d dpi\n%u %u\n%s", g.formatDigit, r.resolution,
                g.width, g.height, g.formatDigit == 4 ? "" : "255\n");
  g.header = text;
  return g;
}

int64_t ChartXForColumn(const ChartRequest& r, uint32_t col) {
  if (r.resolution <= 0) return -1;  // no scale: off the glass
  return ((2 * (r.window.left + int64_t(col)) + 1) * (kChartUnitsPerInch / 2)) / r.resolution;
}

int64_t ChartYForRow(const ChartRequest& r, uint32_t row) {
  if (r.resolution <= 0) return -1;
  return ((2 * (r.window.top + int64_t(row)) + 1) * (kChartUnitsPerInch / 2)) / r.resolution;
}

Rgb ChartColourAt(int64_t x600, int64_t y600) {
  if (x600 < 0 || x600 >= kGlassWidth) return kWhite;
  RowPlan plan;
  BuildPlan(plan, y600);
  return EvaluatePlan(plan, x600);
}

uint32_t ExpectedSample(const ChartRequest& r, uint32_t col, uint32_t row) {
  const Rgb c = ChartColourAt(ChartXForColumn(r, col), ChartYForRow(r, row));
  switch (r.contentType) {
    case kContentColour: return (uint32_t(c.r) << 16) | (uint32_t(c.g) << 8) | c.b;
    case kContentGrey: return GreyOf(c);
    default: return DitherBlack(GreyOf(c), col, row) ? 1 : 0;
  }
}

uint32_t SampleAt(const std::vector<uint8_t>& pnm, const ChartGeometry& g, uint32_t col, uint32_t row) {
  const size_t rowStart = g.header.size() + size_t(row) * g.rowBytes;
  switch (g.formatDigit) {
    case 6: {
      const uint8_t* p = &pnm.at(rowStart + size_t(col) * 3 + 2) - 2;
      return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
    }
    case 5: return pnm.at(rowStart + col);
    default: return (pnm.at(rowStart + col / 8) >> (7 - col % 8)) & 1;
  }
}

std::vector<uint8_t> RenderChart(const ChartRequest& r) {
  const ChartGeometry g = ComputeChartGeometry(r);
  std::vector<uint8_t> out(g.totalSize());
  if (g.width == 0 || g.height == 0) return out;
  std::memcpy(out.data(), g.header.data(), g.header.size());
  uint8_t* const pixels = out.data() + g.header.size();

  std::vector<int64_t> colX(g.width);
  for (uint32_t c = 0; c < g.width; ++c) colX[c] = ChartXForColumn(r, c);
  std::vector<uint8_t> grey(g.formatDigit == 4 ? g.width : 0);

  RowPlan plan, previous;
  for (uint32_t row = 0; row < g.height; ++row) {
    BuildPlan(plan, ChartYForRow(r, row));
    uint8_t* const dst = pixels + size_t(row) * g.rowBytes;
    // Most rows repeat the one above; line art cannot copy since its dither varies by row.
    if (row > 0 && g.formatDigit != 4 && plan == previous) {
      std::memcpy(dst, dst - g.rowBytes, g.rowBytes);
      continue;
    }
    if (g.formatDigit == 6) {
      ForEachRun(plan, colX, [&](const Span& s, size_t c0, size_t c1) {
        if (s.kind == kSolid) {
          const Rgb k = s.colour;
          for (size_t c = c0; c < c1; ++c) {
            dst[3 * c] = k.r;
            dst[3 * c + 1] = k.g;
            dst[3 * c + 2] = k.b;
          }
        } else {
          for (size_t c = c0; c < c1; ++c) {
            const Rgb v = Evaluate(s, colX[c]);
            dst[3 * c] = v.r;
            dst[3 * c + 1] = v.g;
            dst[3 * c + 2] = v.b;
          }
        }
      });
    } else {
      uint8_t* const line = g.formatDigit == 5 ? dst : grey.data();
      ForEachRun(plan, colX, [&](const Span& s, size_t c0, size_t c1) {
        if (s.kind == kSolid) {
          std::memset(line + c0, GreyOf(s.colour), c1 - c0);
        } else {
          for (size_t c = c0; c < c1; ++c) line[c] = GreyOf(Evaluate(s, colX[c]));
        }
      });
      if (g.formatDigit == 4) {
        std::memset(dst, 0, g.rowBytes);
        for (uint32_t c = 0; c < g.width; ++c)
          if (DitherBlack(grey[c], c, row)) dst[c / 8] |= uint8_t(0x80 >> (c % 8));
      }
    }
    std::swap(plan, previous);
  }
  return out;
}

}  // namespace tarvell::sim
