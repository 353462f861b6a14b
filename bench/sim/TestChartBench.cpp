// Rendering the chart is on the path of every simulated scan: a letter page at 300 dpi in
// colour (25 MB) must take a small fraction of a second. Baseline: filling the same bytes.
#include "sim/TestChart.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

using namespace tarvell::sim;

namespace {

ChartRequest LetterPage(int type, int dpi) {
  ChartRequest r;
  r.contentType = type;
  r.resolution = dpi;
  r.window = {0, 0, dpi * 17 / 2, dpi * 11};
  return r;
}

void BM_FillBaseline(benchmark::State& state) {
  const ChartGeometry g = ComputeChartGeometry(LetterPage(kContentColour, 300));
  for (auto _ : state) {
    std::vector<uint8_t> v(g.totalSize());
    std::memset(v.data(), 0xFF, v.size());
    benchmark::DoNotOptimize(v.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(g.totalSize()));
}

void BM_RenderChart(benchmark::State& state) {
  const ChartRequest r = LetterPage(int(state.range(0)), int(state.range(1)));
  const size_t size = ComputeChartGeometry(r).totalSize();
  for (auto _ : state) {
    auto v = RenderChart(r);
    benchmark::DoNotOptimize(v.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}

}  // namespace

BENCHMARK(BM_FillBaseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RenderChart)
    ->Args({kContentColour, 300})
    ->Args({kContentGrey, 300})
    ->Args({kContentLineArt, 300})
    ->Args({kContentColour, 600})
    ->Unit(benchmark::kMillisecond);
