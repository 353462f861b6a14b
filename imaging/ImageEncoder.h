// A scanned page encoded as it streams in: rows go in as the scanner delivers them, encoded bytes
// come out as the format allows. PNG (libpng), JPEG (libjpeg) and PNM encode row by row and hold no
// more than a few rows. PDF (cairo) has to place the whole image on its page before it can write
// it, so it holds the page's pixels until the last row and then writes the document.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/system/Types.h"

namespace tarvell::imaging {

// What a page is: packed 1-bit rows with 1 for black, 8-bit grey rows with 0 for black, or 8-bit
// RGB rows, the frame scanning programs expect.
struct PageFormat {
  enum Kind { kBitmap, kGray, kRGB };
  Kind kind = kRGB;
  UInt32 width = 0;
  UInt32 height = 0;
  size_t bytesPerLine = 0;
  size_t bytes() const { return bytesPerLine * height; }
};

enum class ImageFormat { kPdf, kPng, kJpeg, kPnm };

// The format of a MIME type a scan client names ("image/png", ...): PDF, PNG or JPEG; false for
// any other.
bool FormatFromMime(const std::string& mime, ImageFormat* format);
const char* MimeType(ImageFormat format);

class ImageEncoder {
 public:
  // An encoder for a page of `page`'s frame (packed 1-bit rows with 1 for black, 8-bit grey with
  // 0 for black, or 8-bit RGB) at `dpi`, appending what it makes to *out. Throws std::bad_alloc.
  static std::unique_ptr<ImageEncoder> Make(ImageFormat format, const PageFormat& page, UInt32 dpi,
                                            std::vector<UInt8>* out);
  virtual ~ImageEncoder() = default;
  ImageEncoder(const ImageEncoder&) = delete;
  ImageEncoder& operator=(const ImageEncoder&) = delete;

  // The page's bytes in order, cut anywhere. False once encoding has failed (why() says why).
  bool Feed(const UInt8* bytes, size_t count);
  // After the page's last byte: completes the document. False when it cannot be.
  bool Finish();
  const std::string& why() const { return why_; }

 protected:
  ImageEncoder(const PageFormat& page, UInt32 dpi, std::vector<UInt8>* out) : page_(page), dpi_(dpi), out_(out) {}
  // One whole row; the last row has come before Close.
  virtual bool AddRow(const UInt8* row) = 0;
  virtual bool Close() = 0;
  // Sets why() for a page with more rows than its frame; false.
  bool Failed();

  const PageFormat page_;
  const UInt32 dpi_;
  std::vector<UInt8>* const out_;
  std::string why_;

 private:
  std::vector<UInt8> partial_;  // the start of a row cut by the stream
  UInt32 rows_ = 0;
};

// A page of TIFF as the driver writes it (one strip-organised image of 1-bit, 8-bit grey or RGB
// samples), read in memory with libtiff: its frame and resolution, and its rows re-encoded.
struct TiffPage {
  PageFormat format;
  UInt32 dpi = 0;
};
// Reads the TIFF's description only. False with *why for a TIFF that is not such a page.
bool ReadTiffPage(const UInt8* tiff, size_t size, TiffPage* page, std::string* why);
// Re-encodes the whole page as `format`, appending to *out. Throws std::bad_alloc.
bool TranscodeTiff(const UInt8* tiff, size_t size, ImageFormat format, std::vector<UInt8>* out, TiffPage* page,
                   std::string* why);

}  // namespace tarvell::imaging
