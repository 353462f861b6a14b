// A whole scan job against the simulated scanner: five calls, a letter page at 300 dpi in
// colour (25 MB) streamed in 16 KiB packets, reassembled into the image buffer. Baselines in
// the same run: rendering the chart alone, and copying the same bytes once. Also the framed
// stream read on its own, its packets made on the fly.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "platform/usb/SimBus.h"
#include "sim/Framing.h"
#include "sim/SimulatedScanner.h"
#include "usb/CSimpleScanner.h"
#include "usb/ScanJob.h"

using namespace tarvell::sim;

namespace {

constexpr UInt32 kLocation = 0x01100000;

ChartRequest LetterColour() {
  ChartRequest r;
  r.window = {0, 0, 2550, 3300};
  return r;
}

void BM_CopyBaseline(benchmark::State& state) {
  const std::vector<uint8_t> chart = RenderChart(LetterColour());
  std::vector<uint8_t> copy(chart.size());
  for (auto _ : state) {
    std::memcpy(copy.data(), chart.data(), chart.size());
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(chart.size()));
}

void BM_RenderOnly(benchmark::State& state) {
  size_t size = 0;
  for (auto _ : state) {
    auto v = RenderChart(LetterColour());
    size = v.size();
    benchmark::DoNotOptimize(v.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}

// The page's framed stream in 100 KiB reads, as the image pipe serves it (against BM_CopyBaseline).
void BM_FramedImageRead(benchmark::State& state) {
  const FramedImage stream(RenderChart(LetterColour()), 16 * 1024, false);
  std::vector<uint8_t> buffer(100 * 1024);
  for (auto _ : state) {
    for (uint64_t at = 0; at < stream.size(); at += buffer.size()) {
      stream.Read(at, size_t(std::min<uint64_t>(buffer.size(), stream.size() - at)), buffer.data());
      benchmark::DoNotOptimize(buffer.data());
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(stream.size()));
}

// A simulated bus with the scanner at kLocation, made the active one.
std::shared_ptr<tarvell::usb::SimBus> ActiveSimulatedBus() {
  auto bus = tarvell::usb::SimBus::Create();
  tarvell::usb::SetActiveBus(bus);
  SimulatedScannerOptions options;
  options.locationID = kLocation;
  InstallSimulatedScanner(*bus, options);
  return bus;
}

void BM_ScanJobColourLetter(benchmark::State& state) {
  auto bus = ActiveSimulatedBus();
  {
    CSimpleScanner scanner(kLocation);
    ScanningParamBlock p{300, 300, 0, 0, 2550, 3300, 1, 8, 0, 0};
    scanner.SetScanningParameters(&p);
    size_t size = 0;
    for (auto _ : state) {
      std::unique_ptr<ScanData> image;
      scanner.MyScanToBuffer(&image);
      size = image ? image->size() : 0;
      state.PauseTiming();
      bus->ClearCalls();  // the bus records every transfer; keep its memory flat
      image.reset();
      state.ResumeTiming();
    }
    if (size == 0) state.SkipWithError("no image");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
  }
  tarvell::usb::SetActiveBus(nullptr);
}

// One page from the job's first call to the image in memory, without (0) and with (1)
// end-at-job-end. The bus runs on virtual time, so the device's time-outs cost no real time:
// waited_s is the virtual time they add, page_s the real time plus that (USB transfer time is
// not modelled).
void BM_PageWithEndAtJobEnd(benchmark::State& state) {
  auto bus = ActiveSimulatedBus();
  tarvell::SetScanJobEndsAtJobEnd(state.range(0) != 0);
  double waited = 0, real = 0;
  {
    CSimpleScanner scanner(kLocation);
    ScanningParamBlock p{300, 300, 0, 0, 2550, 3300, 1, 8, 0, 0};
    scanner.SetScanningParameters(&p);
    for (auto _ : state) {
      const UInt64 before = bus->Now();
      const auto start = std::chrono::steady_clock::now();
      std::unique_ptr<ScanData> image;
      scanner.MyScanToBuffer(&image);
      real += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      waited += double(bus->Now() - before) / 1000.0;
      state.PauseTiming();
      if (!image) state.SkipWithError("no image");
      bus->ClearCalls();
      image.reset();
      state.ResumeTiming();
    }
  }
  tarvell::SetScanJobEndsAtJobEnd(false);
  tarvell::usb::SetActiveBus(nullptr);
  const double n = double(std::max<int64_t>(state.iterations(), 1));
  state.counters["waited_s"] = waited / n;
  state.counters["page_s"] = (real + waited) / n;
}

}  // namespace

BENCHMARK(BM_PageWithEndAtJobEnd)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyBaseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RenderOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FramedImageRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanJobColourLetter)->Unit(benchmark::kMillisecond);
