#include "imaging/ImageConversion.h"

#include <tiffio.h>

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/system/Log.h"
#include "platform/system/Memory.h"
#include "platform/system/SystemInfo.h"

namespace {

// The resolution a TIFF carries when none is given.
constexpr float kDefaultResolution = 72.0f;
// Strips of about this many bytes: few enough to keep the strip tables small, small enough
// for readers that load a strip at a time.
constexpr size_t kStripBytes = 256 * 1024;

// A TIFF being written into one heap block. The block is sized once from what the image needs;
// it only grows if libtiff writes more than that estimate.
class MemoryTIFFStream {
 public:
  explicit MemoryTIFFStream(size_t capacity) : block_(static_cast<UInt8*>(std::malloc(capacity))) {
    if (block_) capacity_ = capacity;
    tarvell::PreferHugePages(block_, capacity_);
  }
  ~MemoryTIFFStream() { std::free(block_); }
  MemoryTIFFStream(const MemoryTIFFStream&) = delete;
  MemoryTIFFStream& operator=(const MemoryTIFFStream&) = delete;

  bool allocated() const { return block_ != nullptr; }
  size_t size() const { return size_; }

  // Hands out the block cut to exactly size() bytes; the stream is empty afterwards.
  UInt8* release() {
    UInt8* block = block_;
    if (size_ < capacity_) {
      // Shrinking does not move the bytes; keep the larger block if it cannot be shrunk.
      if (UInt8* shrunk = static_cast<UInt8*>(std::realloc(block, size_ ? size_ : 1))) block = shrunk;
    }
    block_ = nullptr;
    capacity_ = size_ = pos_ = 0;
    return block;
  }

  static tmsize_t Read(thandle_t h, void* buf, tmsize_t n) {
    auto* s = static_cast<MemoryTIFFStream*>(h);
    if (n < 0) return -1;
    size_t avail = s->pos_ < s->size_ ? s->size_ - s->pos_ : 0;
    size_t take = size_t(n) < avail ? size_t(n) : avail;
    if (take) std::memcpy(buf, s->block_ + s->pos_, take);
    s->pos_ += take;
    return tmsize_t(take);
  }

  static tmsize_t Write(thandle_t h, void* buf, tmsize_t n) {
    auto* s = static_cast<MemoryTIFFStream*>(h);
    if (n < 0) return -1;
    size_t count = size_t(n);
    if (count > SIZE_MAX - s->pos_ || !s->reserve(s->pos_ + count)) return -1;
    // A seek past the end leaves a gap; it must read back as zeros.
    if (s->pos_ > s->size_) std::memset(s->block_ + s->size_, 0, s->pos_ - s->size_);
    if (count) std::memcpy(s->block_ + s->pos_, buf, count);
    s->pos_ += count;
    if (s->pos_ > s->size_) s->size_ = s->pos_;
    return n;
  }

  static toff_t Seek(thandle_t h, toff_t off, int whence) {
    auto* s = static_cast<MemoryTIFFStream*>(h);
    UInt64 base = whence == SEEK_CUR ? s->pos_ : whence == SEEK_END ? s->size_ : 0;
    UInt64 target = base + off;  // a negative offset arrives as its unsigned twin and wraps back
    if (target > UInt64(UINT32_MAX)) return toff_t(-1);  // beyond any classic TIFF
    s->pos_ = size_t(target);
    return target;
  }

  static int Close(thandle_t) { return 0; }
  static toff_t Size(thandle_t h) { return static_cast<MemoryTIFFStream*>(h)->size_; }
  static int Map(thandle_t, void**, toff_t*) { return 0; }
  static void Unmap(thandle_t, void*, toff_t) {}

 private:
  bool reserve(size_t needed) {
    if (needed <= capacity_) return true;
    size_t grown = capacity_ > SIZE_MAX / 2 ? SIZE_MAX : capacity_ * 2;
    if (grown < needed) grown = needed;
    auto* block = static_cast<UInt8*>(std::realloc(block_, grown));
    if (!block) return false;
    block_ = block;
    capacity_ = grown;
    return true;
  }

  UInt8* block_ = nullptr;
  size_t capacity_ = 0;
  size_t size_ = 0;
  size_t pos_ = 0;
};

int LogTIFFMessage(TIFF*, void*, const char* module, const char* fmt, va_list ap) {
  char text[512];
  std::vsnprintf(text, sizeof text, fmt, ap);
  BridgeNSLog(" > TIFF: %s: %s", module ? module : "", text);
  return 1;  // handled: libtiff does not print it as well
}

// Reads one decimal integer from [*p, end), skipping leading white space, as the platform's
// number scanner does. False when there are no digits or the value does not fit 32 bits.
bool ScanDecimal(const UInt8** p, const UInt8* end, long long* value) {
  const UInt8* s = *p;
  while (s < end && (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r' || *s == '\v' || *s == '\f')) ++s;
  bool negative = false;
  if (s < end && (*s == '+' || *s == '-')) negative = *s++ == '-';
  const UInt8* digits = s;
  long long v = 0;
  while (s < end && *s >= '0' && *s <= '9') {
    v = v * 10 + (*s - '0');
    if (v > INT32_MAX + 1LL) return false;
    ++s;
  }
  if (s == digits) return false;
  if (negative) v = -v;
  if (v > INT32_MAX || v < INT32_MIN) return false;
  *value = v;
  *p = s;
  return true;
}

// The end of the line that starts at `p` (just past its line feed), or null without one.
const UInt8* NextLine(const UInt8* p, const UInt8* end) {
  const void* lf = std::memchr(p, '\n', size_t(end - p));
  return lf ? static_cast<const UInt8*>(lf) + 1 : nullptr;
}

}  // namespace

int bpsFromFormat(int format) {
  switch (format) {
    case 1:
    case 4: return 1;
    case 2:
    case 3:
    case 5:
    case 6: return 8;
    default: return 0;
  }
}

int sppFromFormat(int format) {
  switch (format) {
    case 1:
    case 2:
    case 4:
    case 5: return 1;
    case 3:
    case 6: return 3;
    default: return 0;
  }
}

ColorSpace colorSpaceNameFromFormat(int format) {
  if (format < 1 || format > 6) return ColorSpace::None;
  SInt32 version = 0;
  if (QuerySystemInfo(kSystemVersionSelector, &version) != noErr) return ColorSpace::None;
  bool current = UsesCapabilityDialect(version);
  switch (format) {
    case 1:
    case 4: return current ? ColorSpace::Black : ColorSpace::White;
    case 2:
    case 5: return current ? ColorSpace::White : ColorSpace::Black;
    default: return ColorSpace::RGB;
  }
}

size_t pixelBytesForFormat(int format, UInt32 width, UInt32 height) {
  size_t bps = size_t(bpsFromFormat(format));
  size_t spp = size_t(sppFromFormat(format));
  if (!bps || !spp) return 0;
  size_t bitsPerRow, rowBytes, total;
  if (__builtin_mul_overflow(size_t(width), bps * spp, &bitsPerRow)) return 0;
  rowBytes = bitsPerRow / 8 + (bitsPerRow % 8 ? 1 : 0);
  if (__builtin_mul_overflow(rowBytes, size_t(height), &total)) return 0;
  return total;
}

PnmHeaderStatus ReadPnmHeader(const UInt8* bytes, size_t count, PnmHeader* header) {
  if (!bytes || !header) return PnmHeaderStatus::kMalformed;
  const UInt8* end = bytes + count;
  // A line that has not ended yet may still end in a later piece of the stream.
  const UInt8* line2 = NextLine(bytes, end);
  if (!line2) return PnmHeaderStatus::kIncomplete;
  // The digit after the letter; a one-character magic line yields its line feed, no format.
  const int format = line2 - bytes >= 2 ? int(bytes[1]) - '0' : -1;
  if (bpsFromFormat(format) == 0) return PnmHeaderStatus::kMalformed;
  const UInt8* line3 = NextLine(line2, end);  // the comment line, skipped unread
  const UInt8* line4 = line3 ? NextLine(line3, end) : nullptr;
  if (!line4) return PnmHeaderStatus::kIncomplete;
  long long w = 0, h = 0;
  const UInt8* p = line3;
  if (!ScanDecimal(&p, line4, &w) || !ScanDecimal(&p, line4, &h) || w <= 0 || h <= 0)
    return PnmHeaderStatus::kMalformed;
  PnmHeader out;
  out.format = format;
  out.width = UInt32(w);
  out.height = UInt32(h);
  const UInt8* pixels = line4;
  if (format == 1 || format == 4) {
    out.maxValue = 1;
  } else {
    pixels = NextLine(line4, end);
    if (!pixels) return PnmHeaderStatus::kIncomplete;
    long long m = 0;
    p = line4;
    // Samples are taken as single bytes; a wider maximum would misread every one of them.
    if (!ScanDecimal(&p, pixels, &m) || m < 1 || m > 255) return PnmHeaderStatus::kMalformed;
    out.maxValue = UInt32(m);
  }
  out.headerBytes = size_t(pixels - bytes);
  out.pixelBytes = pixelBytesForFormat(format, out.width, out.height);
  if (out.pixelBytes == 0) return PnmHeaderStatus::kMalformed;
  *header = out;
  return PnmHeaderStatus::kComplete;
}

size_t PnmStreamHeader::Take(const UInt8* bytes, size_t count) {
  if (status_ != PnmHeaderStatus::kIncomplete) return 0;
  const size_t before = bytes_.size();
  bytes_.insert(bytes_.end(), bytes, bytes + count);
  status_ = ReadPnmHeader(bytes_.data(), bytes_.size(), &header_);
  if (status_ == PnmHeaderStatus::kIncomplete && bytes_.size() >= kLimit) status_ = PnmHeaderStatus::kMalformed;
  if (status_ != PnmHeaderStatus::kComplete) return count;
  bytes_.clear();
  bytes_.shrink_to_fit();
  return header_.headerBytes - before;
}

bool parsePPM(const UInt8* bytes, size_t count, UInt32* width, UInt32* height, const UInt8** pixels, int* format,
              UInt32* maxValue) {
  PnmHeader header;
  if (ReadPnmHeader(bytes, count, &header) != PnmHeaderStatus::kComplete) return false;
  *width = header.width;
  *height = header.height;
  *format = header.format;
  *maxValue = header.maxValue;
  *pixels = bytes + header.headerBytes;
  return header.pixelBytes <= count - header.headerBytes;
}

OSErr createTIFF(UInt32 width, UInt32 height, const UInt8* pixels, int format, UInt32 /*maxValue*/, TIFFBlock* tiffData,
                 UInt32* tiffSize, UInt32 resolutionX, UInt32 resolutionY) {
  int bps = bpsFromFormat(format);
  int spp = sppFromFormat(format);
  ColorSpace space = colorSpaceNameFromFormat(format);
  size_t pixelBytes = pixelBytesForFormat(format, width, height);
  if (!bps || !spp || space == ColorSpace::None || !pixelBytes || !pixels || !tiffData || !tiffSize ||
      width > UInt32(INT32_MAX) || height > UInt32(INT32_MAX))
    return paramErr;
  size_t rowBytes = pixelBytes / height;
  UInt32 rowsPerStrip = UInt32(rowBytes >= kStripBytes ? 1 : kStripBytes / rowBytes);
  if (rowsPerStrip > height) rowsPerStrip = height;
  UInt32 strips = height / rowsPerStrip + (height % rowsPerStrip ? 1 : 0);
  // Header, directory with its out-of-line values and the two strip tables, then the pixels.
  size_t estimate = 8 + 1024 + size_t(strips) * 16 + pixelBytes;
  if (estimate > UINT32_MAX) return paramErr;  // beyond what a classic TIFF can address

  MemoryTIFFStream stream(estimate);
  if (!stream.allocated()) return memFullErr;

  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  if (!options) return memFullErr;
  TIFFOpenOptionsSetErrorHandlerExtR(options, LogTIFFMessage, nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(options, LogTIFFMessage, nullptr);
  TIFF* tif = TIFFClientOpenExt("scan.tiff", "wm", &stream, MemoryTIFFStream::Read, MemoryTIFFStream::Write,
                                MemoryTIFFStream::Seek, MemoryTIFFStream::Close, MemoryTIFFStream::Size,
                                MemoryTIFFStream::Map, MemoryTIFFStream::Unmap, options);
  TIFFOpenOptionsFree(options);
  if (!tif) return paramErr;

  uint16_t photometric = space == ColorSpace::RGB     ? PHOTOMETRIC_RGB
                         : space == ColorSpace::Black ? PHOTOMETRIC_MINISWHITE
                                                      : PHOTOMETRIC_MINISBLACK;
  bool ok = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width) && TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height) &&
            TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, uint16_t(bps)) &&
            TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, uint16_t(spp)) &&
            TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric) &&
            TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE) &&
            TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
            TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) &&
            TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip) &&
            TIFFSetField(tif, TIFFTAG_XRESOLUTION, resolutionX ? float(resolutionX) : kDefaultResolution) &&
            TIFFSetField(tif, TIFFTAG_YRESOLUTION, resolutionY ? float(resolutionY) : kDefaultResolution) &&
            TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  // Uncompressed rows are already in TIFF order (1-bit rows packed, most significant bit
  // first), so each strip goes straight from the input into the output block.
  for (UInt32 strip = 0; ok && strip < strips; ++strip) {
    size_t first = size_t(strip) * rowsPerStrip;
    size_t rows = height - first < rowsPerStrip ? height - first : rowsPerStrip;
    tmsize_t cc = tmsize_t(rows * rowBytes);
    ok = TIFFWriteRawStrip(tif, strip, const_cast<UInt8*>(pixels + first * rowBytes), cc) == cc;
  }
  ok = TIFFWriteDirectory(tif) && ok;
  TIFFClose(tif);
  if (!ok || stream.size() > UINT32_MAX) return paramErr;

  UInt32 size = UInt32(stream.size());
  tiffData->reset(stream.release());
  *tiffSize = size;
  return noErr;
}

int ConvertPPMToTIFF(const UInt8* bytes, size_t count, TIFFBlock* tiffData, UInt32* tiffSize, UInt32 resolutionX,
                     UInt32 resolutionY, UInt32* imageWidth, UInt32* imageHeight) {
  UInt32 width = 0, height = 0, maxValue = 0;
  const UInt8* pixels = nullptr;
  int format = 0;
  if (!parsePPM(bytes, count, &width, &height, &pixels, &format, &maxValue)) {
    BridgeNSLog(" > ERROR: the image is malformed or incomplete (%zu bytes)", count);
    return 1;
  }
  OSErr err = createTIFF(width, height, pixels, format, maxValue, tiffData, tiffSize, resolutionX, resolutionY);
  if (err != noErr) {
    BridgeNSLog(" > ERROR: TIFF encoding failed: %d", int(err));
    return 1;
  }
  if (imageWidth) *imageWidth = width;
  if (imageHeight) *imageHeight = height;
  return 0;
}

int ConvertPPMToTIFF(const std::vector<UInt8>* data, TIFFBlock* tiffData, UInt32* tiffSize, UInt32 resolutionX,
                     UInt32 resolutionY, UInt32* imageWidth, UInt32* imageHeight) {
  if (!data) return 1;
  return ConvertPPMToTIFF(data->data(), data->size(), tiffData, tiffSize, resolutionX, resolutionY, imageWidth,
                          imageHeight);
}
