#include "imaging/ImageConversion.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/system/SystemInfo.h"

namespace {

using Bytes = std::vector<UInt8>;

Bytes Anymap(const std::string& header, size_t pixelBytes, UInt8 seed = 1) {
  Bytes b(header.begin(), header.end());
  for (size_t i = 0; i < pixelBytes; ++i) b.push_back(UInt8(seed + i * 7 + i / 251));
  return b;
}

// Reads a TIFF held in memory back with libtiff.
class TIFFReader {
 public:
  TIFFReader(const UInt8* data, size_t size) : data_(data), size_(size) {
    tif_ = TIFFClientOpen("memory", "rm", this, Read, Write, Seek, Close, Size, Map, Unmap);
  }
  ~TIFFReader() {
    if (tif_) TIFFClose(tif_);
  }
  TIFF* tif() const { return tif_; }

  UInt32 u32(ttag_t tag) const {
    uint32_t v = 0;
    return TIFFGetField(tif_, tag, &v) ? v : 0xDEADBEEF;
  }
  UInt16 u16(ttag_t tag) const {
    uint16_t v = 0;
    return TIFFGetField(tif_, tag, &v) ? v : 0xBEEF;
  }
  float f(ttag_t tag) const {
    float v = 0;
    return TIFFGetField(tif_, tag, &v) ? v : -1;
  }
  // All rows, packed.
  Bytes pixels() const {
    tmsize_t row = TIFFScanlineSize(tif_);
    Bytes all;
    Bytes line(static_cast<size_t>(row));
    for (UInt32 y = 0; y < u32(TIFFTAG_IMAGELENGTH); ++y) {
      if (TIFFReadScanline(tif_, line.data(), y, 0) != 1) return {};
      all.insert(all.end(), line.begin(), line.end());
    }
    return all;
  }

 private:
  static TIFFReader* R(thandle_t h) { return static_cast<TIFFReader*>(h); }
  static tmsize_t Read(thandle_t h, void* buf, tmsize_t n) {
    TIFFReader* r = R(h);
    size_t take = r->pos_ >= r->size_ ? 0 : std::min(size_t(n), r->size_ - r->pos_);
    std::memcpy(buf, r->data_ + r->pos_, take);
    r->pos_ += take;
    return tmsize_t(take);
  }
  static tmsize_t Write(thandle_t, void*, tmsize_t) { return -1; }
  static toff_t Seek(thandle_t h, toff_t off, int whence) {
    TIFFReader* r = R(h);
    r->pos_ = size_t((whence == SEEK_CUR ? r->pos_ : whence == SEEK_END ? r->size_ : 0) + off);
    return r->pos_;
  }
  static int Close(thandle_t) { return 0; }
  static toff_t Size(thandle_t h) { return R(h)->size_; }
  static int Map(thandle_t, void**, toff_t*) { return 0; }
  static void Unmap(thandle_t, void*, toff_t) {}

  const UInt8* data_;
  size_t size_;
  size_t pos_ = 0;
  TIFF* tif_ = nullptr;
};

class ImageConversionTest : public ::testing::Test {
 protected:
  void TearDown() override {
    tarvell::SetSystemVersion(kDefaultSystemVersion);
    tarvell::testing::FailNext(tarvell::SystemCall::kVersionQuery, 0);
  }
  // Converts from a buffer of exactly the image's size, so that reading past it is caught.
  int Convert(const Bytes& image) {
    std::unique_ptr<UInt8[]> exact(new UInt8[image.size()]);
    if (!image.empty()) std::memcpy(exact.get(), image.data(), image.size());
    return ConvertPPMToTIFF(exact.get(), image.size(), &tiff_, &size_, 300, 150, &width_, &height_);
  }
  TIFFBlock tiff_;
  UInt32 size_ = 0, width_ = 0, height_ = 0;
};

TEST_F(ImageConversionTest, ColourImageReadsBack) {
  Bytes image = Anymap("P6\n# chart\n100 50\n255\n", 15000);
  ASSERT_EQ(Convert(image), 0);
  ASSERT_NE(tiff_, nullptr);
  TIFFReader r(tiff_.get(), size_);
  ASSERT_NE(r.tif(), nullptr);
  EXPECT_EQ(r.u32(TIFFTAG_IMAGEWIDTH), 100u);
  EXPECT_EQ(r.u32(TIFFTAG_IMAGELENGTH), 50u);
  EXPECT_EQ(r.u16(TIFFTAG_SAMPLESPERPIXEL), 3);
  EXPECT_EQ(r.u16(TIFFTAG_BITSPERSAMPLE), 8);
  EXPECT_EQ(r.u16(TIFFTAG_PHOTOMETRIC), PHOTOMETRIC_RGB);
  EXPECT_EQ(r.u16(TIFFTAG_PLANARCONFIG), PLANARCONFIG_CONTIG);
  EXPECT_FLOAT_EQ(r.f(TIFFTAG_XRESOLUTION), 300.0f);
  EXPECT_FLOAT_EQ(r.f(TIFFTAG_YRESOLUTION), 150.0f);
  EXPECT_TRUE(width_ == 100 && height_ == 50);
  EXPECT_EQ(r.u16(TIFFTAG_RESOLUTIONUNIT), RESUNIT_INCH);
  EXPECT_EQ(r.pixels(), Bytes(image.end() - 15000, image.end()));
  EXPECT_EQ(TIFFNumberOfDirectories(r.tif()), 1);
}

TEST_F(ImageConversionTest, BitmapIsOneBitWithSetBitsBlack) {
  Bytes image = {'P', '4', '\n', '#', '\n', '1', '2', ' ', '2', '\n', 0xF0, 0x30, 0x0F, 0xC0};
  ASSERT_EQ(Convert(image), 0);
  {
    TIFFReader r(tiff_.get(), size_);
    ASSERT_NE(r.tif(), nullptr);
    EXPECT_EQ(r.u32(TIFFTAG_IMAGEWIDTH), 12u);
    EXPECT_EQ(r.u32(TIFFTAG_IMAGELENGTH), 2u);
    EXPECT_EQ(r.u16(TIFFTAG_BITSPERSAMPLE), 1);
    EXPECT_EQ(r.u16(TIFFTAG_SAMPLESPERPIXEL), 1);
    EXPECT_EQ(r.u16(TIFFTAG_PHOTOMETRIC), PHOTOMETRIC_MINISWHITE);
    EXPECT_EQ(TIFFScanlineSize(r.tif()), 2);
    EXPECT_EQ(r.pixels(), (Bytes{0xF0, 0x30, 0x0F, 0xC0}));
  }
  // Earlier systems take the bitmap in the white colour space: a set bit is white.
  tarvell::SetSystemVersion(0x1028);
  ASSERT_EQ(Convert(image), 0);
  TIFFReader r(tiff_.get(), size_);
  EXPECT_EQ(r.u16(TIFFTAG_PHOTOMETRIC), PHOTOMETRIC_MINISBLACK);
}

TEST_F(ImageConversionTest, GreyColourSpaceFollowsTheSystemVersion) {
  Bytes image = Anymap("P5\n#\n7 3\n255\n", 21);
  ASSERT_EQ(Convert(image), 0);
  {
    TIFFReader r(tiff_.get(), size_);
    ASSERT_NE(r.tif(), nullptr);
    EXPECT_EQ(r.u16(TIFFTAG_PHOTOMETRIC), PHOTOMETRIC_MINISBLACK);  // maximum is white
    EXPECT_EQ(r.u16(TIFFTAG_BITSPERSAMPLE), 8);
    EXPECT_EQ(r.u16(TIFFTAG_SAMPLESPERPIXEL), 1);
    EXPECT_EQ(r.pixels(), Bytes(image.end() - 21, image.end()));
  }
  tarvell::SetSystemVersion(0x102F);  // the boundary belongs to the earlier systems
  ASSERT_EQ(Convert(image), 0);
  {
    TIFFReader r(tiff_.get(), size_);
    EXPECT_EQ(r.u16(TIFFTAG_PHOTOMETRIC), PHOTOMETRIC_MINISWHITE);
  }
  // Without a version there is no colour interpretation; the earlier TIFF stays.
  const UInt8* before = tiff_.get();
  UInt32 beforeSize = size_;
  tarvell::testing::FailNext(tarvell::SystemCall::kVersionQuery, 1, tarvell::testing::Fails::kFromThenOn);
  EXPECT_EQ(Convert(image), 1);
  EXPECT_EQ(tiff_.get(), before);
  EXPECT_EQ(size_, beforeSize);
}

TEST_F(ImageConversionTest, LargeImageSpansManyStrips) {
  // Rows of 3000 bytes in strips of whole rows; the last strip is short.
  Bytes image = Anymap("P6\n#\n1000 701\n255\n", 1000 * 701 * 3, 5);
  ASSERT_EQ(Convert(image), 0);
  TIFFReader r(tiff_.get(), size_);
  ASSERT_NE(r.tif(), nullptr);
  EXPECT_GT(TIFFNumberOfStrips(r.tif()), 1u);
  EXPECT_EQ(r.pixels(), Bytes(image.end() - 1000 * 701 * 3, image.end()));
  // Header, directory and pixels: nothing much besides the pixels.
  EXPECT_LT(size_, 1000u * 701 * 3 + 1024);
}

TEST_F(ImageConversionTest, SecondConversionReplacesTheFirst) {
  ASSERT_EQ(Convert(Anymap("P5\n#\n2 2\n255\n", 4)), 0);
  UInt32 first = size_;
  // The leak checker tells whether the first block was freed.
  ASSERT_EQ(Convert(Anymap("P6\n#\n20 20\n255\n", 1200)), 0);
  EXPECT_GT(size_, first);
  TIFFReader r(tiff_.get(), size_);
  EXPECT_EQ(r.u32(TIFFTAG_IMAGEWIDTH), 20u);
}

TEST_F(ImageConversionTest, MalformedOrShortImagesFailAndKeepTheOutput) {
  ASSERT_EQ(Convert(Anymap("P5\n#\n2 2\n255\n", 4)), 0);
  const UInt8* kept = tiff_.get();
  UInt32 keptSize = size_;
  const std::vector<std::pair<const char*, Bytes>> cases = {
      {"empty", {}},
      {"magic without line feed", Anymap("P6", 0)},
      {"no comment line", Anymap("P6\n", 0)},
      {"size line without line feed", Anymap("P6\n#\n2 2", 0)},
      {"no maximum line", Anymap("P6\n#\n2 2\n255", 12)},
      {"bitmap short by one byte", Anymap("P4\n#\n9 3\n", 5)},
      {"colour short by one byte", Anymap("P6\n#\n2 2\n255\n", 11)},
      {"grey short by one byte", Anymap("P5\n#\n3 3\n255\n", 8)},
      {"zero width", Anymap("P5\n#\n0 3\n255\n", 8)},
      {"zero height", Anymap("P5\n#\n3 0\n255\n", 8)},
      {"negative width", Anymap("P5\n#\n-3 3\n255\n", 9)},
      {"missing height", Anymap("P5\n#\n3\n3\n255\n", 9)},
      {"height on the next line", Anymap("P4\n#\n8\n1\n", 1)},
      {"no digits", Anymap("P5\n#\nab cd\n255\n", 9)},
      {"width beyond 32 bits", Anymap("P5\n#\n99999999999 1\n255\n", 9)},
      {"size overflowing memory", Anymap("P6\n#\n2147483647 2147483647\n255\n", 9)},
      {"zero maximum", Anymap("P5\n#\n1 1\n0\n", 1)},
      {"two-byte samples", Anymap("P5\n#\n1 1\n65535\n", 2)},
      {"unknown format", Anymap("P7\n#\n1 1\n255\n", 4)},
      {"one-character magic", Anymap("P\n#\n1 1\n255\n", 4)},
  };
  for (const auto& [name, image] : cases) {
    EXPECT_EQ(Convert(image), 1) << name;
    EXPECT_EQ(tiff_.get(), kept) << name;
    EXPECT_EQ(size_, keptSize) << name;
  }
  EXPECT_EQ(ConvertPPMToTIFF(static_cast<const Bytes*>(nullptr), &tiff_, &size_), 1);
}

TEST(ImageConversionParse, HeaderFieldsAndPixelsInPlace) {
  Bytes image = Anymap("P6\n# a comment, 1 2 3\n 4\t3 extra\n 200 \n", 36);
  UInt32 w = 0, h = 0, max = 0;
  const UInt8* pixels = nullptr;
  int format = 0;
  ASSERT_TRUE(parsePPM(image.data(), image.size(), &w, &h, &pixels, &format, &max));
  EXPECT_EQ(format, 6);
  EXPECT_EQ(w, 4u);
  EXPECT_EQ(h, 3u);
  EXPECT_EQ(max, 200u);
  EXPECT_EQ(pixels, image.data() + image.size() - 36);

  Bytes bitmap = Anymap("P4\n#\n8 1\n", 1);
  ASSERT_TRUE(parsePPM(bitmap.data(), bitmap.size(), &w, &h, &pixels, &format, &max));
  EXPECT_EQ(max, 1u);
  EXPECT_EQ(pixels, bitmap.data() + bitmap.size() - 1);
}

TEST(ImageConversionParse, AHeaderArrivingInPiecesIsIncompleteUntilItsLastLineThenComplete) {
  for (const std::string header : {"P6\n# c\n4 3\n255\n", "P4\n#\n8 1\n"}) {
    PnmHeader read;
    for (size_t n = 0; n < header.size(); ++n)
      EXPECT_EQ(ReadPnmHeader(reinterpret_cast<const UInt8*>(header.data()), n, &read), PnmHeaderStatus::kIncomplete)
          << header << " cut at " << n;
    ASSERT_EQ(ReadPnmHeader(reinterpret_cast<const UInt8*>(header.data()), header.size(), &read),
              PnmHeaderStatus::kComplete);
    EXPECT_EQ(read.headerBytes, header.size());
    EXPECT_EQ(read.pixelBytes, header[1] == '6' ? 36u : 1u);
  }
  // What no later byte can mend is told at once.
  for (const std::string bad : {"P9\n", "P5\n#\n0 3\n", "P5\n#\n3 3\n256\n"}) {
    PnmHeader read;
    EXPECT_EQ(ReadPnmHeader(reinterpret_cast<const UInt8*>(bad.data()), bad.size(), &read), PnmHeaderStatus::kMalformed)
        << bad;
  }
}

TEST(ImageConversionEncode, UnknownFormatIsRefused) {
  UInt8 pixels[4] = {};
  TIFFBlock tiff;
  UInt32 size = 0;
  EXPECT_EQ(createTIFF(1, 1, pixels, 9, 255, &tiff, &size), paramErr);
  EXPECT_EQ(tiff, nullptr);
}

}  // namespace
