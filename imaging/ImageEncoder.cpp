#include "imaging/ImageEncoder.h"

#include <cairo-pdf.h>
#include <cairo.h>
#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

#include <algorithm>
#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace tarvell::imaging {
namespace {

constexpr double kMetresPerInch = 0.0254;

// A 1-bit row (1 for black) as 8-bit grey (0 for black).
void ExpandBits(const UInt8* bits, UInt32 width, UInt8* grey) {
  for (UInt32 x = 0; x < width; ++x) grey[x] = (bits[x / 8] >> (7 - x % 8)) & 1 ? 0 : 255;
}

// libpng reports errors by jumping back to the setjmp of the call that failed; every call into
// it is made from a function with nothing to destroy.
class PngEncoder : public ImageEncoder {
 public:
  PngEncoder(const PageFormat& page, UInt32 dpi, std::vector<UInt8>* out) : ImageEncoder(page, dpi, out) {
    png_ = png_create_write_struct(PNG_LIBPNG_VER_STRING, this, &PngEncoder::Error, &PngEncoder::Warning);
    if (png_) info_ = png_create_info_struct(png_);
    if (!info_) throw std::bad_alloc();
    if (page.kind == PageFormat::kBitmap) inverted_.resize(page.bytesPerLine);
    if (!Begin()) throw std::bad_alloc();
  }
  ~PngEncoder() override { png_destroy_write_struct(&png_, &info_); }

 private:
  bool Begin() {
    if (setjmp(png_jmpbuf(png_))) return false;
    png_set_write_fn(png_, this, &PngEncoder::Write, &PngEncoder::Flush);
    const int type = page_.kind == PageFormat::kRGB ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY;
    png_set_IHDR(png_, info_, page_.width, page_.height, page_.kind == PageFormat::kBitmap ? 1 : 8, type,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    const png_uint_32 perMetre = png_uint_32(dpi_ / kMetresPerInch + 0.5);
    png_set_pHYs(png_, info_, perMetre, perMetre, PNG_RESOLUTION_METER);
    // Fast compression keeps up with the scanner; a flush every few rows keeps the bytes moving.
    png_set_compression_level(png_, 3);
    png_set_flush(png_, 16);
    png_write_info(png_, info_);
    return true;
  }
  bool AddRow(const UInt8* row) override {
    if (!inverted_.empty()) {
      // PNG's 1-bit grey has 0 for black.
      for (size_t i = 0; i < inverted_.size(); ++i) inverted_[i] = UInt8(~row[i]);
      row = inverted_.data();
    }
    return WriteRow(row);
  }
  bool WriteRow(const UInt8* row) {
    if (setjmp(png_jmpbuf(png_))) return false;
    png_write_row(png_, const_cast<png_bytep>(row));
    return true;
  }
  bool Close() override {
    if (setjmp(png_jmpbuf(png_))) return false;
    png_write_end(png_, info_);
    return true;
  }
  static void Write(png_structp png, png_bytep data, size_t length) {
    auto* self = static_cast<PngEncoder*>(png_get_io_ptr(png));
    self->out_->insert(self->out_->end(), data, data + length);
  }
  static void Flush(png_structp) {}
  static void Error(png_structp png, png_const_charp message) {
    static_cast<PngEncoder*>(png_get_error_ptr(png))->why_ = std::string("PNG: ") + message;
    png_longjmp(png, 1);
  }
  static void Warning(png_structp, png_const_charp) {}

  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
  std::vector<UInt8> inverted_;
};

// libjpeg likewise reports errors by a jump; its output goes through a destination of ours.
class JpegEncoder : public ImageEncoder {
 public:
  JpegEncoder(const PageFormat& page, UInt32 dpi, std::vector<UInt8>* out)
      : ImageEncoder(page, dpi, out), buffer_(16 * 1024) {
    jpeg_.err = jpeg_std_error(&errors_.manager);
    errors_.manager.error_exit = &JpegEncoder::Error;
    errors_.self = this;
    destination_.manager.init_destination = &JpegEncoder::InitDestination;
    destination_.manager.empty_output_buffer = &JpegEncoder::EmptyOutputBuffer;
    destination_.manager.term_destination = &JpegEncoder::TermDestination;
    destination_.self = this;
    if (page.kind == PageFormat::kBitmap) grey_.resize(page.width);
    if (!Begin()) throw std::bad_alloc();
  }
  ~JpegEncoder() override {
    if (created_) jpeg_destroy_compress(&jpeg_);
  }

 private:
  struct Errors {
    jpeg_error_mgr manager;
    JpegEncoder* self;
  };
  struct Destination {
    jpeg_destination_mgr manager;
    JpegEncoder* self;
  };

  bool Begin() {
    if (setjmp(jump_)) return false;
    jpeg_create_compress(&jpeg_);
    created_ = true;
    jpeg_.dest = &destination_.manager;
    jpeg_.image_width = page_.width;
    jpeg_.image_height = page_.height;
    jpeg_.input_components = page_.kind == PageFormat::kRGB ? 3 : 1;
    jpeg_.in_color_space = page_.kind == PageFormat::kRGB ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&jpeg_);
    jpeg_set_quality(&jpeg_, 90, TRUE);
    jpeg_.density_unit = 1;  // dots per inch
    jpeg_.X_density = jpeg_.Y_density = UINT16(dpi_ > 65535 ? 65535 : dpi_);
    jpeg_start_compress(&jpeg_, TRUE);
    return true;
  }
  bool AddRow(const UInt8* row) override {
    if (!grey_.empty()) {
      ExpandBits(row, page_.width, grey_.data());
      row = grey_.data();
    }
    return WriteRow(row);
  }
  bool WriteRow(const UInt8* row) {
    if (setjmp(jump_)) return false;
    JSAMPROW rows[1] = {const_cast<JSAMPLE*>(row)};
    jpeg_write_scanlines(&jpeg_, rows, 1);
    return true;
  }
  bool Close() override {
    if (setjmp(jump_)) return false;
    jpeg_finish_compress(&jpeg_);
    return true;
  }
  static void Error(j_common_ptr common) {
    JpegEncoder* self = reinterpret_cast<Errors*>(common->err)->self;
    char message[JMSG_LENGTH_MAX];
    common->err->format_message(common, message);
    self->why_ = std::string("JPEG: ") + message;
    std::longjmp(self->jump_, 1);
  }
  static void InitDestination(j_compress_ptr jpeg) {
    JpegEncoder* self = reinterpret_cast<Destination*>(jpeg->dest)->self;
    jpeg->dest->next_output_byte = self->buffer_.data();
    jpeg->dest->free_in_buffer = self->buffer_.size();
  }
  static boolean EmptyOutputBuffer(j_compress_ptr jpeg) {
    JpegEncoder* self = reinterpret_cast<Destination*>(jpeg->dest)->self;
    self->out_->insert(self->out_->end(), self->buffer_.begin(), self->buffer_.end());
    InitDestination(jpeg);
    return TRUE;
  }
  static void TermDestination(j_compress_ptr jpeg) {
    JpegEncoder* self = reinterpret_cast<Destination*>(jpeg->dest)->self;
    const size_t used = self->buffer_.size() - jpeg->dest->free_in_buffer;
    self->out_->insert(self->out_->end(), self->buffer_.begin(), self->buffer_.begin() + used);
  }

  jpeg_compress_struct jpeg_{};
  Errors errors_{};
  Destination destination_{};
  std::jmp_buf jump_;
  bool created_ = false;
  std::vector<UInt8> buffer_;
  std::vector<UInt8> grey_;
};

// The page goes into an image surface row by row; at the end cairo places it on a page of its
// size at the scan's resolution and writes the document. cairo stores a grey or black-and-white
// image as such, whatever the surface's format.
class PdfEncoder : public ImageEncoder {
 public:
  PdfEncoder(const PageFormat& page, UInt32 dpi, std::vector<UInt8>* out) : ImageEncoder(page, dpi, out) {
    image_ = cairo_image_surface_create(CAIRO_FORMAT_RGB24, int(page.width), int(page.height));
    if (cairo_surface_status(image_) != CAIRO_STATUS_SUCCESS) {
      cairo_surface_destroy(image_);
      throw std::bad_alloc();
    }
    cairo_surface_flush(image_);
  }
  ~PdfEncoder() override { cairo_surface_destroy(image_); }

 private:
  bool AddRow(const UInt8* row) override {
    auto* pixels = reinterpret_cast<uint32_t*>(cairo_image_surface_get_data(image_) +
                                               size_t(cairo_image_surface_get_stride(image_)) * y_++);
    for (UInt32 x = 0; x < page_.width; ++x) {
      switch (page_.kind) {
        case PageFormat::kBitmap: pixels[x] = (row[x / 8] >> (7 - x % 8)) & 1 ? 0 : 0xFFFFFF; break;
        case PageFormat::kGray: pixels[x] = row[x] * 0x010101u; break;
        case PageFormat::kRGB: pixels[x] = uint32_t(row[3 * x]) << 16 | uint32_t(row[3 * x + 1]) << 8 | row[3 * x + 2];
      }
    }
    return true;
  }
  bool Close() override {
    cairo_surface_mark_dirty(image_);
    const double scale = 72.0 / dpi_;
    cairo_surface_t* pdf =
        cairo_pdf_surface_create_for_stream(&PdfEncoder::Write, this, page_.width * scale, page_.height * scale);
    cairo_t* cr = cairo_create(pdf);
    cairo_scale(cr, scale, scale);
    cairo_set_source_surface(cr, image_, 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);  // pixels as scanned
    cairo_paint(cr);
    cairo_show_page(cr);
    cairo_status_t status = cairo_status(cr);
    cairo_destroy(cr);
    cairo_surface_finish(pdf);
    if (status == CAIRO_STATUS_SUCCESS) status = cairo_surface_status(pdf);
    cairo_surface_destroy(pdf);
    if (status != CAIRO_STATUS_SUCCESS) why_ = std::string("PDF: ") + cairo_status_to_string(status);
    return status == CAIRO_STATUS_SUCCESS;
  }
  static cairo_status_t Write(void* closure, const unsigned char* data, unsigned int length) {
    auto* self = static_cast<PdfEncoder*>(closure);
    try {
      self->out_->insert(self->out_->end(), data, data + length);
    } catch (const std::bad_alloc&) {
      return CAIRO_STATUS_NO_MEMORY;
    }
    return CAIRO_STATUS_SUCCESS;
  }

  cairo_surface_t* image_ = nullptr;
  UInt32 y_ = 0;
};

// Binary PNM, whose frame is the page's: P4 with 1 for black, P5 with 0 for black, P6.
class PnmEncoder : public ImageEncoder {
 public:
  PnmEncoder(const PageFormat& page, UInt32 dpi, std::vector<UInt8>* out) : ImageEncoder(page, dpi, out) {
    const char* magic = page.kind == PageFormat::kBitmap ? "P4" : page.kind == PageFormat::kGray ? "P5" : "P6";
    const std::string header = std::string(magic) + "\n# " + std::to_string(dpi) + " dpi\n" +
                               std::to_string(page.width) + " " + std::to_string(page.height) + "\n" +
                               (page.kind == PageFormat::kBitmap ? "" : "255\n");
    out->insert(out->end(), header.begin(), header.end());
  }

 private:
  bool AddRow(const UInt8* row) override {
    out_->insert(out_->end(), row, row + page_.bytesPerLine);
    return true;
  }
  bool Close() override { return true; }
};

// A TIFF in memory as libtiff reads it; its messages go to *why.
struct TiffSource {
  const UInt8* bytes;
  size_t size;
  size_t pos = 0;
  std::string* why;

  static tmsize_t Read(thandle_t h, void* buf, tmsize_t n) {
    auto* s = static_cast<TiffSource*>(h);
    const size_t take = std::min(size_t(n < 0 ? 0 : n), s->pos < s->size ? s->size - s->pos : 0);
    if (take) std::memcpy(buf, s->bytes + s->pos, take);
    s->pos += take;
    return tmsize_t(take);
  }
  static tmsize_t Write(thandle_t, void*, tmsize_t) { return -1; }
  static toff_t Seek(thandle_t h, toff_t off, int whence) {
    auto* s = static_cast<TiffSource*>(h);
    const UInt64 base = whence == SEEK_CUR ? s->pos : whence == SEEK_END ? s->size : 0;
    const UInt64 target = base + off;
    if (target > s->size) return toff_t(-1);
    s->pos = size_t(target);
    return target;
  }
  static int Close(thandle_t) { return 0; }
  static toff_t Size(thandle_t h) { return static_cast<TiffSource*>(h)->size; }
  static int Map(thandle_t, void**, toff_t*) { return 0; }
  static void Unmap(thandle_t, void*, toff_t) {}
  static int Message(TIFF*, void* data, const char*, const char* format, va_list args) {
    auto* s = static_cast<TiffSource*>(data);
    char text[256];
    std::vsnprintf(text, sizeof text, format, args);
    if (s->why->empty()) *s->why = std::string("TIFF: ") + text;
    return 1;
  }
};

// Opens the TIFF and reads its description; null with *why when it is not a page of ours.
TIFF* OpenTiff(TiffSource* source, TiffPage* page) {
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  if (!options) throw std::bad_alloc();
  TIFFOpenOptionsSetErrorHandlerExtR(options, &TiffSource::Message, source);
  TIFFOpenOptionsSetWarningHandlerExtR(
      options, [](TIFF*, void*, const char*, const char*, va_list) { return 1; }, nullptr);
  TIFF* tif = TIFFClientOpenExt("scan.tiff", "rm", source, &TiffSource::Read, &TiffSource::Write, &TiffSource::Seek,
                                &TiffSource::Close, &TiffSource::Size, &TiffSource::Map, &TiffSource::Unmap, options);
  TIFFOpenOptionsFree(options);
  if (!tif) {
    if (source->why->empty()) *source->why = "not a TIFF";
    return nullptr;
  }
  uint32_t width = 0, height = 0;
  uint16_t spp = 1, bps = 1, photometric = 0, planar = PLANARCONFIG_CONTIG, unit = RESUNIT_INCH;
  float dpi = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
  TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
  TIFFGetField(tif, TIFFTAG_XRESOLUTION, &dpi);
  PageFormat& format = page->format;
  format.width = width;
  format.height = height;
  if (spp == 3 && bps == 8 && photometric == PHOTOMETRIC_RGB)
    format.kind = PageFormat::kRGB;
  else if (spp == 1 && bps == 8 && (photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE))
    format.kind = PageFormat::kGray;
  else if (spp == 1 && bps == 1 && (photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE))
    format.kind = PageFormat::kBitmap;
  else
    width = 0;
  format.bytesPerLine = format.kind == PageFormat::kRGB    ? 3 * size_t(width)
                        : format.kind == PageFormat::kGray ? width
                                                           : (size_t(width) + 7) / 8;
  page->dpi = UInt32(unit == RESUNIT_CENTIMETER ? dpi * 2.54f + 0.5f : dpi + 0.5f);
  if (width == 0 || height == 0 || planar != PLANARCONFIG_CONTIG ||
      size_t(TIFFScanlineSize(tif)) != format.bytesPerLine) {
    *source->why = "the TIFF is not a page of 1-bit, grey or RGB samples";
    TIFFClose(tif);
    return nullptr;
  }
  return tif;
}

}  // namespace

bool ReadTiffPage(const UInt8* tiff, size_t size, TiffPage* page, std::string* why) {
  TiffSource source{tiff, size, 0, why};
  TIFF* tif = OpenTiff(&source, page);
  if (tif) TIFFClose(tif);
  return tif != nullptr;
}

bool TranscodeTiff(const UInt8* tiff, size_t size, ImageFormat format, std::vector<UInt8>* out, TiffPage* page,
                   std::string* why) {
  TiffSource source{tiff, size, 0, why};
  TIFF* tif = OpenTiff(&source, page);
  if (!tif) return false;
  const PageFormat& frame = page->format;
  uint16_t photometric = 0;
  TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
  // The frame has 1 for black in a bitmap and 0 for black in grey.
  const bool invert = (frame.kind == PageFormat::kBitmap && photometric == PHOTOMETRIC_MINISBLACK) ||
                      (frame.kind == PageFormat::kGray && photometric == PHOTOMETRIC_MINISWHITE);
  std::unique_ptr<ImageEncoder> encoder = ImageEncoder::Make(format, frame, page->dpi ? page->dpi : 72, out);
  std::vector<UInt8> row(frame.bytesPerLine);
  bool ok = true;
  for (UInt32 y = 0; ok && y < frame.height; ++y) {
    ok = TIFFReadScanline(tif, row.data(), y) == 1;
    if (!ok) break;
    if (invert)
      for (UInt8& b : row) b = UInt8(~b);
    ok = encoder->Feed(row.data(), row.size());
  }
  TIFFClose(tif);
  if (ok) ok = encoder->Finish();
  if (!ok && why->empty()) *why = encoder->why().empty() ? "the TIFF's rows cannot be read" : encoder->why();
  return ok;
}

bool FormatFromMime(const std::string& mime, ImageFormat* format) {
  for (ImageFormat f : {ImageFormat::kPdf, ImageFormat::kPng, ImageFormat::kJpeg})
    if (mime == MimeType(f)) {
      *format = f;
      return true;
    }
  return false;
}

const char* MimeType(ImageFormat format) {
  switch (format) {
    case ImageFormat::kPdf: return "application/pdf";
    case ImageFormat::kPng: return "image/png";
    case ImageFormat::kPnm: return "image/x-portable-anymap";
    default: return "image/jpeg";
  }
}

std::unique_ptr<ImageEncoder> ImageEncoder::Make(ImageFormat format, const PageFormat& page, UInt32 dpi,
                                                 std::vector<UInt8>* out) {
  switch (format) {
    case ImageFormat::kPdf: return std::make_unique<PdfEncoder>(page, dpi, out);
    case ImageFormat::kPng: return std::make_unique<PngEncoder>(page, dpi, out);
    case ImageFormat::kPnm: return std::make_unique<PnmEncoder>(page, dpi, out);
    default: return std::make_unique<JpegEncoder>(page, dpi, out);
  }
}

bool ImageEncoder::Feed(const UInt8* bytes, size_t count) {
  if (!why_.empty()) return false;
  const size_t row = page_.bytesPerLine;
  // Complete a row begun earlier, then whole rows straight from the input, then keep the rest.
  if (!partial_.empty()) {
    const size_t take = std::min(count, row - partial_.size());
    partial_.insert(partial_.end(), bytes, bytes + take);
    bytes += take;
    count -= take;
    if (partial_.size() < row) return true;
    if (rows_++ >= page_.height || !AddRow(partial_.data())) return Failed();
    partial_.clear();
  }
  for (; count >= row; bytes += row, count -= row)
    if (rows_++ >= page_.height || !AddRow(bytes)) return Failed();
  partial_.assign(bytes, bytes + count);
  return true;
}

bool ImageEncoder::Failed() {
  if (why_.empty()) why_ = "more rows than the page has";
  return false;
}

bool ImageEncoder::Finish() {
  if (!why_.empty()) return false;
  if (rows_ != page_.height || !partial_.empty()) {
    why_ = "the page ended after " + std::to_string(rows_) + " of " + std::to_string(page_.height) + " rows";
    return false;
  }
  if (Close()) return true;
  if (why_.empty()) why_ = "the image could not be completed";
  return false;
}

}  // namespace tarvell::imaging
