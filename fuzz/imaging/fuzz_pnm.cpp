// The anymap reader and the conversion on arbitrary bytes, held in a block of exactly their
// size. A conversion that succeeds must give a TIFF that libtiff reads back at the same size.
#include <tiffio.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "imaging/ImageConversion.h"

namespace {

struct Reader {
  const UInt8* data;
  size_t size, pos;
  static Reader* R(thandle_t h) { return static_cast<Reader*>(h); }
  static tmsize_t Read(thandle_t h, void* b, tmsize_t n) {
    Reader* r = R(h);
    size_t t = r->pos < r->size ? std::min(size_t(n), r->size - r->pos) : 0;
    std::memcpy(b, r->data + r->pos, t);
    r->pos += t;
    return tmsize_t(t);
  }
  static tmsize_t Write(thandle_t, void*, tmsize_t) { return -1; }
  static toff_t Seek(thandle_t h, toff_t off, int whence) {
    Reader* r = R(h);
    r->pos = size_t((whence == SEEK_CUR ? r->pos : whence == SEEK_END ? r->size : 0) + off);
    return r->pos;
  }
  static int Close(thandle_t) { return 0; }
  static toff_t Size(thandle_t h) { return R(h)->size; }
  static int Map(thandle_t, void**, toff_t*) { return 0; }
  static void Unmap(thandle_t, void*, toff_t) {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<UInt8[]> exact(new UInt8[size ? size : 1]);
  if (size) std::memcpy(exact.get(), data, size);

  UInt32 width = 0, height = 0, maxValue = 0;
  const UInt8* pixels = nullptr;
  int format = 0;
  bool parsed = parsePPM(exact.get(), size, &width, &height, &pixels, &format, &maxValue);
  if (parsed) {
    size_t need = pixelBytesForFormat(format, width, height);
    if (pixels < exact.get() || need == 0 || need > size_t(exact.get() + size - pixels)) abort();
  }

  TIFFBlock tiff;
  UInt32 tiffSize = 0;
  int status = ConvertPPMToTIFF(exact.get(), size, &tiff, &tiffSize);
  if (status == 0) {
    if (!parsed || !tiff || tiffSize == 0) abort();
    Reader r{tiff.get(), tiffSize, 0};
    TIFF* tif = TIFFClientOpen("fuzz", "rm", &r, Reader::Read, Reader::Write, Reader::Seek, Reader::Close, Reader::Size,
                               Reader::Map, Reader::Unmap);
    if (!tif) abort();
    uint32_t w = 0, h = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    TIFFClose(tif);
    if (w != width || h != height) abort();
  } else if (tiff) {
    abort();  // a failed conversion hands out nothing
  }
  return 0;
}
