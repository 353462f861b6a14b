// Anymap to TIFF conversion against a plain libtiff write of the same pixels to memory, in the
// same run. Both write into freshly allocated memory each time, as a scan does.
#include <benchmark/benchmark.h>
#include <tiffio.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "bench/support/ThreadClock.h"
#include "imaging/ImageConversion.h"
#include "usb/DeviceFacts.h"

namespace {

using Clock = tarvell::bench::ThreadClock;

std::vector<UInt8> Anymap(int format, UInt32 width, UInt32 height) {
  std::string header =
      "P" + std::to_string(format) + "\n# bench\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  std::vector<UInt8> image(header.begin(), header.end());
  size_t pixels = pixelBytesForFormat(format, width, height);
  image.resize(header.size() + pixels);
  for (size_t i = 0; i < pixels; ++i) image[header.size() + i] = UInt8(i * 31 + i / 4099);
  return image;
}

// The plain way: a memory file that starts at the pixel size and grows, written with
// TIFFWriteEncodedStrip in libtiff's default strips.
struct PlainStream {
  UInt8* data = nullptr;
  size_t cap = 0, size = 0, pos = 0;
  static tmsize_t Read(thandle_t h, void* b, tmsize_t n) {
    auto* s = static_cast<PlainStream*>(h);
    size_t t = s->pos < s->size ? std::min(size_t(n), s->size - s->pos) : 0;
    std::memcpy(b, s->data + s->pos, t);
    s->pos += t;
    return tmsize_t(t);
  }
  static tmsize_t Write(thandle_t h, void* b, tmsize_t n) {
    auto* s = static_cast<PlainStream*>(h);
    if (s->pos + size_t(n) > s->cap) {
      s->cap = std::max(s->cap * 2, s->pos + size_t(n));
      s->data = static_cast<UInt8*>(std::realloc(s->data, s->cap));
    }
    std::memcpy(s->data + s->pos, b, size_t(n));
    s->pos += size_t(n);
    s->size = std::max(s->size, s->pos);
    return n;
  }
  static toff_t Seek(thandle_t h, toff_t off, int whence) {
    auto* s = static_cast<PlainStream*>(h);
    s->pos = size_t((whence == SEEK_CUR ? s->pos : whence == SEEK_END ? s->size : 0) + off);
    return s->pos;
  }
  static int Close(thandle_t) { return 0; }
  static toff_t Size(thandle_t h) { return static_cast<PlainStream*>(h)->size; }
  static int Map(thandle_t, void**, toff_t*) { return 0; }
  static void Unmap(thandle_t, void*, toff_t) {}
};

size_t PlainWrite(const UInt8* pixels, int bps, int spp, UInt32 width, UInt32 height, uint16_t photometric) {
  size_t rowBytes = (size_t(width) * bps * spp + 7) / 8;
  PlainStream s;
  s.cap = rowBytes * height + 65536;
  s.data = static_cast<UInt8*>(std::malloc(s.cap));
  TIFF* tif = TIFFClientOpen("plain", "w", &s, PlainStream::Read, PlainStream::Write, PlainStream::Seek,
                             PlainStream::Close, PlainStream::Size, PlainStream::Map, PlainStream::Unmap);
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, uint16_t(bps));
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, uint16_t(spp));
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  uint32_t rps = TIFFDefaultStripSize(tif, 0);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rps);
  TIFFSetField(tif, TIFFTAG_XRESOLUTION, 72.0f);
  TIFFSetField(tif, TIFFTAG_YRESOLUTION, 72.0f);
  TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  for (uint32_t row = 0, strip = 0; row < height; row += rps, ++strip) {
    uint32_t rows = std::min(rps, height - row);
    TIFFWriteEncodedStrip(tif, strip, const_cast<UInt8*>(pixels + row * rowBytes), tmsize_t(rows * rowBytes));
  }
  TIFFClose(tif);
  size_t size = s.size;
  std::free(s.data);
  return size;
}

void Run(benchmark::State& state, int format, UInt32 width, UInt32 height) {
  std::vector<UInt8> image = Anymap(format, width, height);
  const size_t pixelBytes = pixelBytesForFormat(format, width, height);
  const UInt8* pixels = image.data() + image.size() - pixelBytes;
  uint16_t photometric = format == 6 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
  double convert = 0, plain = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    benchmark::DoNotOptimize(PlainWrite(pixels, 8, sppFromFormat(format), width, height, photometric));
    auto t1 = Clock::now();
    TIFFBlock tiff;
    UInt32 size = 0;
    if (ConvertPPMToTIFF(&image, &tiff, &size) != 0) state.SkipWithError("conversion failed");
    benchmark::DoNotOptimize(tiff.get());
    auto t2 = Clock::now();
    tiff.reset();
    double c = std::chrono::duration<double>(t2 - t1).count();
    plain += std::chrono::duration<double>(t1 - t0).count();
    convert += c;
    state.SetIterationTime(c);
  }
  state.SetBytesProcessed(int64_t(state.iterations() * pixelBytes));
  state.counters["ratio_to_plain_libtiff"] = convert / plain;
  state.counters["plain_MBps"] = double(state.iterations() * pixelBytes) / plain / 1e6;
}

void BM_Colour2550x3300(benchmark::State& state) { Run(state, 6, 2550, 3300); }
void BM_GreyWholeGlass(benchmark::State& state) {
  Run(state, 5, tarvell::device::kGlassWidth, tarvell::device::kGlassHeight);
}

BENCHMARK(BM_Colour2550x3300)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GreyWholeGlass)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
