// An image scaled to another size by nearest neighbour, row by row as it streams: bytes go in
// cut anywhere, whole rows of the new size come out as soon as the source row they copy has come.
// Each output pixel copies the source pixel under its top-left corner, so an integral factor
// (2x) repeats every pixel and row exactly, and any other (4/3) repeats some more often than
// others; nothing is blended. For pixels of whole bytes (grey, RGB, RGBA), not packed bits.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/system/Types.h"

namespace tarvell::imaging {

class RowScaler {
 public:
  // From `fromWidth` x `fromHeight` to `toWidth` x `toHeight` pixels of `bytesPerPixel` bytes.
  // Every size must be at least 1.
  RowScaler(UInt32 fromWidth, UInt32 fromHeight, UInt32 toWidth, UInt32 toHeight, UInt32 bytesPerPixel);

  // Takes the source's next `count` bytes and appends the rows they complete to *out. Bytes past
  // the source's last row are dropped.
  void Feed(const UInt8* bytes, size_t count, std::vector<UInt8>* out);
  // Whether every output row has been made.
  bool done() const { return madeRows_ == toHeight_; }

 private:
  void AddRow(std::vector<UInt8>* out);

  const UInt32 fromHeight_, toHeight_, bytesPerPixel_;
  std::vector<UInt32> sourceColumn_;  // for each output pixel, its source pixel
  std::vector<UInt8> row_;            // the source row being assembled
  size_t filled_ = 0;                 // bytes of row_ that have come
  UInt32 sourceRows_ = 0;             // whole source rows taken
  UInt32 madeRows_ = 0;
};

}  // namespace tarvell::imaging
