#include "sane/TiffLines.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace tarvell::sane {
namespace {

}  // namespace

TiffLines::TiffLines() = default;

TiffLines::~TiffLines() { Close(); }

void TiffLines::Close() {
  if (tiff_) TIFFClose(tiff_);
  tiff_ = nullptr;
  std::vector<UInt8>().swap(bytes_);
  std::vector<UInt8>().swap(raw_);
  std::vector<UInt8>().swap(line_);
  position_ = 0;
  linePos_ = 0;
  row_ = 0;
  width_ = height_ = 0;
}

int TiffLines::OnTiffMessage(TIFF*, void* self, const char* module, const char* format, va_list args) {
  char text[256];
  std::vsnprintf(text, sizeof text, format, args);
  static_cast<TiffLines*>(self)->lastMessage_ = std::string(module ? module : "libtiff") + ": " + text;
  return 1;  // handled: nothing goes to the frontend's standard error
}

namespace {

// libtiff's client procedures over the bytes and read position a TiffLines holds.
tmsize_t ReadProc(thandle_t handle, void* buffer, tmsize_t size) {
  auto* self = static_cast<TiffLines::Handle*>(handle);
  const std::vector<UInt8>& bytes = *self->first;
  size_t& position = *self->second;
  if (size <= 0 || position >= bytes.size()) return 0;
  const size_t n = std::min(size_t(size), bytes.size() - position);
  std::memcpy(buffer, bytes.data() + position, n);
  position += n;
  return tmsize_t(n);
}

tmsize_t WriteProc(thandle_t, void*, tmsize_t) { return 0; }

toff_t SeekProc(thandle_t handle, toff_t offset, int whence) {
  auto* self = static_cast<TiffLines::Handle*>(handle);
  const size_t size = self->first->size();
  size_t& position = *self->second;
  uint64_t base = whence == SEEK_CUR ? position : whence == SEEK_END ? size : 0;
  // Offsets are unsigned; a seek before the start wraps and is refused like one past the end.
  if (offset > UINT64_MAX - base) return toff_t(-1);
  uint64_t target = base + offset;
  if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return toff_t(-1);
  if (target > size) return toff_t(-1);
  position = size_t(target);
  return target;
}

int CloseProc(thandle_t) { return 0; }

toff_t SizeProc(thandle_t handle) {
  return static_cast<TiffLines::Handle*>(handle)->first->size();
}

// The bytes are in memory already: libtiff reads uncompressed strips in place instead of
// copying them through ReadProc.
int MapProc(thandle_t handle, void** base, toff_t* size) {
  std::vector<UInt8>& bytes = *static_cast<TiffLines::Handle*>(handle)->first;
  if (bytes.empty()) return 0;
  *base = bytes.data();
  *size = bytes.size();
  return 1;
}

void UnmapProc(thandle_t, void*, toff_t) {}

}  // namespace

bool TiffLines::Open(std::vector<UInt8> bytes, std::string* error) {
  Close();
  bytes_ = std::move(bytes);
  // libtiff's client procedures read through this handle, which lives as long as this object.
  handle_ = {&bytes_, &position_};
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  if (!options) {
    *error = "out of memory";
    Close();
    return false;
  }
  TIFFOpenOptionsSetErrorHandlerExtR(options, &TiffLines::OnTiffMessage, this);
  TIFFOpenOptionsSetWarningHandlerExtR(options, &TiffLines::OnTiffMessage, this);
  lastMessage_.clear();
  tiff_ = TIFFClientOpenExt("scan", "r", &handle_, ReadProc, WriteProc, SeekProc, CloseProc, SizeProc,
                            MapProc, UnmapProc, options);
  TIFFOpenOptionsFree(options);
  if (!tiff_) {
    *error = "the delivered file is not a TIFF image" + (lastMessage_.empty() ? "" : " (" + lastMessage_ + ")");
    Close();
    return false;
  }
  uint16_t bps = 0, spp = 0, photometric = 0, planar = PLANARCONFIG_CONTIG;
  TIFFGetField(tiff_, TIFFTAG_IMAGEWIDTH, &width_);
  TIFFGetField(tiff_, TIFFTAG_IMAGELENGTH, &height_);
  TIFFGetFieldDefaulted(tiff_, TIFFTAG_BITSPERSAMPLE, &bps);
  TIFFGetFieldDefaulted(tiff_, TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetFieldDefaulted(tiff_, TIFFTAG_PLANARCONFIG, &planar);
  if (!TIFFGetField(tiff_, TIFFTAG_PHOTOMETRIC, &photometric)) photometric = 0xFFFF;

  std::string why;
  if (width_ == 0 || height_ == 0 || width_ > 0x7FFFFF || height_ > 0x7FFFFF)
    why = "an image of " + std::to_string(width_) + " x " + std::to_string(height_) + " pixels";
  else if (planar != PLANARCONFIG_CONTIG)
    why = "separate colour planes";
  else if (spp == 1 && bps == 1 && (photometric == PHOTOMETRIC_MINISWHITE || photometric == PHOTOMETRIC_MINISBLACK)) {
    mode_ = ScanMode::kLineart;
    invert_ = photometric == PHOTOMETRIC_MINISBLACK;  // frames have 1 = black
  } else if (spp == 1 && bps == 8 && (photometric == PHOTOMETRIC_MINISWHITE || photometric == PHOTOMETRIC_MINISBLACK)) {
    mode_ = ScanMode::kGray;
    invert_ = photometric == PHOTOMETRIC_MINISWHITE;  // frames have 0 = black
  } else if (spp == 3 && bps == 8 && photometric == PHOTOMETRIC_RGB) {
    mode_ = ScanMode::kColor;
    invert_ = false;
  } else {
    why = std::to_string(spp) + " sample(s) of " + std::to_string(bps) + " bits, photometric " +
          std::to_string(photometric);
  }
  if (!why.empty()) {
    *error = "the delivered TIFF holds " + why + ", which no frame can carry";
    Close();
    return false;
  }
  const SANE_Parameters p = parameters();
  const tmsize_t scanline = TIFFScanlineSize(tiff_);
  if (scanline < tmsize_t(p.bytes_per_line)) {
    *error = "the delivered TIFF has scanlines shorter than its width";
    Close();
    return false;
  }
  raw_.resize(size_t(scanline));
  line_.clear();
  linePos_ = 0;
  row_ = 0;
  return true;
}

bool TiffLines::DecodeNextLine(std::string* error) {
  if (TIFFReadScanline(tiff_, raw_.data(), row_, 0) < 0) {
    *error = "line " + std::to_string(row_) + " of the delivered TIFF cannot be read" +
             (lastMessage_.empty() ? "" : " (" + lastMessage_ + ")");
    return false;
  }
  const size_t bytesPerLine = size_t(parameters().bytes_per_line);
  line_.assign(raw_.begin(), raw_.begin() + bytesPerLine);
  if (invert_)
    for (UInt8& b : line_) b = UInt8(~b);
  if (mode_ == ScanMode::kLineart && width_ % 8 != 0) line_.back() &= UInt8(0xFF << (8 - width_ % 8));
  linePos_ = 0;
  ++row_;
  return true;
}

long TiffLines::Read(SANE_Byte* out, size_t capacity, std::string* error) {
  if (!tiff_) return 0;
  size_t given = 0;
  while (given < capacity) {
    if (linePos_ >= line_.size()) {
      if (row_ >= height_) break;
      if (!DecodeNextLine(error)) return -1;
    }
    const size_t n = std::min(capacity - given, line_.size() - linePos_);
    std::memcpy(out + given, line_.data() + linePos_, n);
    given += n;
    linePos_ += n;
  }
  return long(given);
}

}  // namespace tarvell::sane
