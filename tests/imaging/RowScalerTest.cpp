#include "imaging/RowScaler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace tarvell::imaging {
namespace {

// Pixels as letters, one byte each, rows joined by '/'; fed `piece` bytes at a time.
std::string Scale(std::string image, UInt32 toWidth, UInt32 toHeight, size_t piece) {
  const UInt32 width = UInt32(image.find('/')), height = UInt32(std::count(image.begin(), image.end(), '/') + 1);
  image.erase(std::remove(image.begin(), image.end(), '/'), image.end());
  RowScaler scaler(width, height, toWidth, toHeight, 1);
  std::vector<UInt8> out;
  for (size_t at = 0; at < image.size(); at += piece)
    scaler.Feed(reinterpret_cast<const UInt8*>(image.data()) + at, std::min(piece, image.size() - at), &out);
  EXPECT_TRUE(scaler.done());
  std::string text;
  for (size_t i = 0; i < out.size(); ++i) text += (i && i % toWidth == 0 ? "/" : "") + std::string(1, char(out[i]));
  return text;
}

TEST(RowScaler, MakesExactlyTheAskedSizeFromTheNearestPixels) {
  const struct {
    const char* from;
    UInt32 width, height;
    const char* to;
  } cases[] = {
      {"ab/cd", 4, 4, "aabb/aabb/ccdd/ccdd"},        // 2x
      {"abc/def/ghi", 4, 4, "aabc/aabc/ddef/gghi"},  // 4/3
      {"abc/def/ghi", 3, 3, "abc/def/ghi"},          // the same size
      {"abcd/efgh", 2, 1, "ac"},                     // smaller
  };
  for (const auto& c : cases)
    for (size_t piece : {size_t(1), size_t(3), size_t(100)}) EXPECT_EQ(Scale(c.from, c.width, c.height, piece), c.to);
}

}  // namespace
}  // namespace tarvell::imaging
