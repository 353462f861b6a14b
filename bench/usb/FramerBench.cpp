// Image-data throughput of the packet framer against memcpy of the same bytes, measured in the
// same run. The callback copies each payload into a preallocated buffer, as the job's image
// buffer would take it.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <vector>

#include "bench/support/ThreadClock.h"
#include "usb/USBScanProtocol.h"

namespace {

using Clock = tarvell::bench::ThreadClock;
constexpr size_t kReadSize = 102400;

struct Sink {
  UInt8* out;
  size_t used = 0;
  static void Image(const UInt8* bytes, SInt32 length, void* info) {
    auto* s = static_cast<Sink*>(info);
    std::memcpy(s->out + s->used, bytes, size_t(length));
    s->used += size_t(length);
  }
};

// Image-data packets of `payload` bytes each, back to back, `total` bytes or a little less.
std::vector<UInt8> Stream(size_t payload, size_t total) {
  std::vector<UInt8> s;
  s.reserve(total);
  std::vector<UInt8> bytes(payload);
  for (UInt8 fill = 1; s.size() + 8 + payload <= total; ++fill) {
    std::fill(bytes.begin(), bytes.end(), fill);
    USBScanProtocol::AppendPacket(s, kPacketImageData, bytes.data(), bytes.size());
  }
  return s;
}

// Feeds `stream` in reads of `readSize` bytes; reports the framer's time as the iteration time
// and the time memcpy takes for the same bytes, in 102400-byte pieces, as the baseline. The two
// take turns going first so neither always finds the data warm.
void Run(benchmark::State& state, size_t payload, size_t readSize) {
  const size_t total = 16 * kReadSize;
  std::vector<UInt8> stream = Stream(payload, total);
  // Touched once and reused. The destination is set half a page off the source: the same
  // offset within a page would make memcpy stall on 4K aliasing and flatter the framer.
  std::vector<UInt8> outBuffer(stream.size() + 4096, 0);
  UInt8* const out = outBuffer.data() + 2048 + 64;
  const size_t expected = (stream.size() / (payload + 8)) * payload;
  auto copy = [&] {
    auto t0 = Clock::now();
    for (size_t at = 0; at < stream.size(); at += kReadSize)
      std::memcpy(out + at, stream.data() + at, std::min(kReadSize, stream.size() - at));
    benchmark::ClobberMemory();
    return std::chrono::duration<double>(Clock::now() - t0).count();
  };
  auto frame = [&] {
    auto t0 = Clock::now();
    Sink sink{out};
    ScanProtocolCallbacks callbacks = {&sink, nullptr, nullptr, nullptr, Sink::Image, nullptr, nullptr};
    USBScanProtocol framer(callbacks);
    for (size_t at = 0; at < stream.size(); at += readSize)
      framer.receiveData(stream.data() + at, std::min(readSize, stream.size() - at));
    benchmark::ClobberMemory();
    double t = std::chrono::duration<double>(Clock::now() - t0).count();
    if (sink.used != expected) state.SkipWithError("payload lost");
    return t;
  };
  double framerSeconds = 0, memcpySeconds = 0;
  bool copyFirst = true;
  for (auto _ : state) {
    double f;
    if (copyFirst) {
      memcpySeconds += copy();
      f = frame();
    } else {
      f = frame();
      memcpySeconds += copy();
    }
    copyFirst = !copyFirst;
    framerSeconds += f;
    state.SetIterationTime(f);
  }
  state.SetBytesProcessed(int64_t(state.iterations() * stream.size()));
  state.counters["ratio_to_memcpy"] = memcpySeconds / framerSeconds;
}

// One packet filling each 102400-byte read.
void BM_OnePacketPerRead(benchmark::State& state) { Run(state, kReadSize - 8, kReadSize); }
// About 200 packets per read; packets straddle every read boundary.
void BM_SmallPacketsStraddling(benchmark::State& state) { Run(state, 509, kReadSize); }
// Packets of 102400 bytes fed one byte at a time.
void BM_OneByteFeeds(benchmark::State& state) { Run(state, kReadSize - 8, 1); }
// Many packets in one large read: the cost per byte stays flat.
void BM_SmallPacketsOneLargeRead(benchmark::State& state) { Run(state, 509, 16 * kReadSize); }

BENCHMARK(BM_OnePacketPerRead)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SmallPacketsStraddling)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OneByteFeeds)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SmallPacketsOneLargeRead)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
