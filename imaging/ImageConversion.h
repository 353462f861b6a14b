// Conversion of the scanner's binary portable anymap stream (P4 bitmap, P5 grey, P6 RGB) to TIFF.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/system/Types.h"

// A heap block of TIFF bytes from std::malloc; freed with std::free.
struct TIFFBlockFree {
  void operator()(UInt8* block) const { std::free(block); }
};
using TIFFBlock = std::unique_ptr<UInt8[], TIFFBlockFree>;

// Colour interpretation of the samples.
enum class ColorSpace {
  None,   // unknown format, or the system version could not be read
  Black,  // a set (maximum) sample is black
  White,  // a maximum sample is white
  RGB,
};

// Converts the anymap in `bytes` to TIFF. On success the block at *tiffData is replaced (the old
// one freed) by a block of exactly *tiffSize bytes, *width and *height (when given) get the
// image's size, and 0 is returned. On failure 1 is returned and *tiffData and *tiffSize are left
// as they were: a malformed or short image (a header without the line feeds it needs, zero or
// overflowing sizes, fewer pixel bytes than width x height needs), an unknown format or colour
// interpretation, or a failed encoding. The TIFF carries the resolutions, in pixels per inch of
// the original (72 when 0 is given).
int ConvertPPMToTIFF(const UInt8* bytes, size_t count, TIFFBlock* tiffData, UInt32* tiffSize, UInt32 resolutionX = 0,
                     UInt32 resolutionY = 0, UInt32* width = nullptr, UInt32* height = nullptr);
// The same for a whole byte buffer; a null buffer fails.
int ConvertPPMToTIFF(const std::vector<UInt8>* data, TIFFBlock* tiffData, UInt32* tiffSize, UInt32 resolutionX = 0,
                     UInt32 resolutionY = 0, UInt32* width = nullptr, UInt32* height = nullptr);

// What the header at the start of an anymap stream says.
struct PnmHeader {
  int format = 0;  // the digit after the P
  UInt32 width = 0;
  UInt32 height = 0;
  UInt32 maxValue = 0;     // 1 for bitmaps
  size_t headerBytes = 0;  // where the pixels start
  size_t pixelBytes = 0;   // width x height in the format's packing
};
enum class PnmHeaderStatus {
  kComplete,
  kIncomplete,  // every line so far is fine, but the header goes on past `count`
  kMalformed,   // no bytes after these can make it a header this reader takes
};
// Reads the header: magic line, one skipped line, the line with width and height, and for
// formats other than bitmaps the line with the maximum sample value. Complete only when the
// format is known, the sizes are positive and fit and the maximum is 1..255. The one reader of
// the header, for whole images and for streams whose header arrives in pieces.
PnmHeaderStatus ReadPnmHeader(const UInt8* bytes, size_t count, PnmHeader* header);

// The header of a stream that arrives in pieces of any size, read once it is whole.
class PnmStreamHeader {
 public:
  // Takes the stream's next piece and returns how many of its bytes belong to the header: all
  // of them while it is incomplete, none once it has been read (the rest are pixels). A header
  // that has not ended within `limit` bytes is malformed.
  size_t Take(const UInt8* bytes, size_t count);
  PnmHeaderStatus status() const { return status_; }
  const PnmHeader& header() const { return header_; }

 private:
  static constexpr size_t kLimit = 4096;  // a header is a few dozen bytes
  std::vector<UInt8> bytes_;
  PnmHeaderStatus status_ = PnmHeaderStatus::kIncomplete;
  PnmHeader header_;
};

// The header as ReadPnmHeader reads it; *pixels points into `bytes` (no copy). True only when
// the header is complete and `count` holds every pixel byte the sizes call for. On false the
// outputs are unspecified.
bool parsePPM(const UInt8* bytes, size_t count, UInt32* width, UInt32* height, const UInt8** pixels, int* format,
              UInt32* maxValue);

// Encodes width x height pixels of `format` read in place at `pixels` (rows packed; a 1-bit
// row takes width / 8 bytes rounded up), tagged with `resolutionX` x `resolutionY` pixels per
// inch (72 for 0). The caller guarantees that many bytes are readable.
// Returns 0 with the block at *tiffData replaced; -50 when the format or colour interpretation
// is unknown, the sizes are zero or libtiff fails; -108 when the output block cannot be
// allocated. On failure *tiffData and *tiffSize are left as they were.
OSErr createTIFF(UInt32 width, UInt32 height, const UInt8* pixels, int format, UInt32 maxValue, TIFFBlock* tiffData,
                 UInt32* tiffSize, UInt32 resolutionX = 0, UInt32 resolutionY = 0);

// Table lookups by format digit (1..6); 0 / ColorSpace::None for any other digit.
int bpsFromFormat(int format);
int sppFromFormat(int format);
// Decided by the system version: on systems of the capability dialect (UsesCapabilityDialect)
// bitmaps are Black and greys White, on earlier ones the other way round; a failed version query
// gives None.
ColorSpace colorSpaceNameFromFormat(int format);

// Bytes of pixel data the format needs for width x height, or 0 when it overflows.
size_t pixelBytesForFormat(int format, UInt32 width, UInt32 height);
