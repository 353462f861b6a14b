// Hands out the image of a delivered TIFF as SANE frame lines: packed 1-bit grey with 1 = black,
// 8-bit grey with 0 = black, or 8-bit RGB, whatever photometric interpretation the file uses.
#pragma once

#include <sane/sane.h>

#include <cstdarg>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/system/Types.h"
#include "sane/SaneOptions.h"

typedef struct tiff TIFF;

namespace tarvell::sane {

class TiffLines {
 public:
  TiffLines();
  ~TiffLines();
  TiffLines(const TiffLines&) = delete;
  TiffLines& operator=(const TiffLines&) = delete;

  // Takes the bytes of a TIFF file. False with *error when they are not a single-image TIFF of
  // 1-bit or 8-bit grey or 8-bit RGB this class can read.
  bool Open(std::vector<UInt8> bytes, std::string* error);
  // Lets go of the file and its bytes.
  void Close();
  bool isOpen() const { return tiff_ != nullptr; }

  ScanMode mode() const { return mode_; }
  SANE_Parameters parameters() const { return ParametersFor(mode_, SANE_Int(width_), SANE_Int(height_)); }

  // Copies up to `capacity` bytes of the next lines (any cut, also inside a line) into `out`.
  // Returns the count, 0 once every line has been handed out, or -1 when a line cannot be
  // decoded (then *error says why).
  long Read(SANE_Byte* out, size_t capacity, std::string* error);
  bool finished() const { return isOpen() && row_ >= height_ && linePos_ >= line_.size(); }

 // The bytes and the read position libtiff reads through.
  using Handle = std::pair<std::vector<UInt8>*, size_t*>;

 private:
  bool DecodeNextLine(std::string* error);
  static int OnTiffMessage(TIFF*, void* self, const char* module, const char* format, va_list args);

  std::vector<UInt8> bytes_;
  size_t position_ = 0;  // libtiff's read position in bytes_
  Handle handle_{&bytes_, &position_};
  TIFF* tiff_ = nullptr;
  ScanMode mode_ = ScanMode::kColor;
  uint32_t width_ = 0, height_ = 0;
  bool invert_ = false;  // the file's polarity is the opposite of the frame's
  std::vector<UInt8> raw_;   // one scanline as the file holds it
  std::vector<UInt8> line_;  // one line as the frame wants it
  size_t linePos_ = 0;
  uint32_t row_ = 0;         // rows decoded so far
  std::string lastMessage_;  // libtiff's latest complaint
};

}  // namespace tarvell::sane
