#include "imaging/RowScaler.h"

#include <algorithm>
#include <cstring>

namespace tarvell::imaging {

RowScaler::RowScaler(UInt32 fromWidth, UInt32 fromHeight, UInt32 toWidth, UInt32 toHeight, UInt32 bytesPerPixel)
    : fromHeight_(fromHeight),
      toHeight_(toHeight),
      bytesPerPixel_(bytesPerPixel),
      sourceColumn_(toWidth),
      row_(size_t(fromWidth) * bytesPerPixel) {
  for (UInt32 x = 0; x < toWidth; ++x) sourceColumn_[x] = UInt32(UInt64(x) * fromWidth / toWidth);
}

void RowScaler::Feed(const UInt8* bytes, size_t count, std::vector<UInt8>* out) {
  while (count > 0 && sourceRows_ < fromHeight_) {
    const size_t n = std::min(count, row_.size() - filled_);
    std::memcpy(row_.data() + filled_, bytes, n);
    filled_ += n;
    bytes += n;
    count -= n;
    if (filled_ == row_.size()) AddRow(out);
  }
}

void RowScaler::AddRow(std::vector<UInt8>* out) {
  filled_ = 0;
  const UInt32 source = sourceRows_++;
  // Output row y copies source row y * fromHeight / toHeight: those up to the next source row's.
  const size_t rowBytes = sourceColumn_.size() * bytesPerPixel_;
  while (madeRows_ < toHeight_ && UInt64(madeRows_) * fromHeight_ / toHeight_ == source) {
    const size_t at = out->size();
    out->resize(at + rowBytes);
    UInt8* to = out->data() + at;
    for (UInt32 column : sourceColumn_) {
      std::memcpy(to, row_.data() + size_t(column) * bytesPerPixel_, bytesPerPixel_);
      to += bytesPerPixel_;
    }
    ++madeRows_;
  }
}

}  // namespace tarvell::imaging
