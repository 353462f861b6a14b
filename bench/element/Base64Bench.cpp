// Base64 encoding and decoding of byte buffers (binary values in messages), in MB/s of raw bytes,
// against memcpy of the same bytes as the baseline.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "element/TextConversion.h"

namespace {

std::vector<unsigned char> Bytes(size_t size) {
  std::vector<unsigned char> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(i * 131 + 7);
  return bytes;
}

void BM_Memcpy(benchmark::State& state) {
  std::vector<unsigned char> in = Bytes(state.range(0)), out(in.size());
  for (auto _ : state) {
    std::memcpy(out.data(), in.data(), in.size());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_StrToBase64(benchmark::State& state) {
  std::vector<unsigned char> in = Bytes(state.range(0));
  for (auto _ : state) {
    std::string text = StrToBase64(in.data(), static_cast<int>(in.size()));
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Base64ToStr(benchmark::State& state) {
  std::vector<unsigned char> in = Bytes(state.range(0)), out(in.size());
  std::string text = StrToBase64(in.data(), static_cast<int>(in.size()));
  for (auto _ : state) {
    benchmark::DoNotOptimize(Base64ToStr(text.c_str(), out.data(), static_cast<int>(out.size())));
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(BM_Memcpy)->Arg(4096)->Arg(1 << 20);
BENCHMARK(BM_StrToBase64)->Arg(4096)->Arg(1 << 20);
BENCHMARK(BM_Base64ToStr)->Arg(4096)->Arg(1 << 20);
BENCHMARK_MAIN();
