#include "sane/TiffLines.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include <unistd.h>

namespace tarvell::sane {
namespace {

struct Image {
  uint32_t width = 0, height = 0;
  uint16_t bps = 8, spp = 1, photometric = PHOTOMETRIC_MINISBLACK;
  std::vector<uint8_t> rows;  // packed rows as the file holds them
};

// Writes `image` with libtiff (uncompressed, one strip of 3 rows each) and returns the file's bytes.
std::vector<UInt8> TiffBytes(const Image& image, uint16_t compression = COMPRESSION_NONE) {
  char path[] = "/tmp/tarvell-tifflines-XXXXXX";
  int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  close(fd);
  TIFF* tif = TIFFOpen(path, "w");
  EXPECT_NE(tif, nullptr);
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, image.width);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, image.height);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, image.bps);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, image.spp);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, image.photometric);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 3);
  const size_t rowBytes = image.rows.size() / image.height;
  for (uint32_t y = 0; y < image.height; ++y)
    EXPECT_EQ(TIFFWriteScanline(tif, const_cast<uint8_t*>(&image.rows[y * rowBytes]), y, 0), 1);
  TIFFClose(tif);
  std::ifstream in(path, std::ios::binary);
  std::vector<UInt8> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::remove(path);
  return bytes;
}

// Everything Read hands out, in pieces of `piece` bytes.
std::vector<UInt8> ReadAll(TiffLines& lines, size_t piece) {
  std::vector<UInt8> all, buffer(piece);
  std::string error;
  for (;;) {
    long n = lines.Read(buffer.data(), piece, &error);
    EXPECT_GE(n, 0) << error;
    if (n <= 0) break;
    all.insert(all.end(), buffer.begin(), buffer.begin() + n);
  }
  return all;
}

TEST(TiffLines, LineArtComesOutWithOneForBlackWhateverTheFileSays) {
  // 10 pixels a row: two bytes, six padding bits that the file sets and the frame clears.
  Image image;
  image.width = 10;
  image.height = 2;
  image.bps = 1;
  image.rows = {0xA5, 0xFF, 0x0F, 0x7F};
  for (uint16_t photometric : {PHOTOMETRIC_MINISWHITE, PHOTOMETRIC_MINISBLACK}) {
    image.photometric = photometric;
    TiffLines lines;
    std::string error;
    ASSERT_TRUE(lines.Open(TiffBytes(image), &error)) << error;
    EXPECT_EQ(lines.mode(), ScanMode::kLineart);
    SANE_Parameters p = lines.parameters();
    EXPECT_EQ(p.format, SANE_FRAME_GRAY);
    EXPECT_EQ(p.depth, 1);
    EXPECT_EQ(p.pixels_per_line, 10);
    EXPECT_EQ(p.bytes_per_line, 2);
    EXPECT_EQ(p.lines, 2);
    const std::vector<UInt8> expected = photometric == PHOTOMETRIC_MINISWHITE
                                            ? std::vector<UInt8>{0xA5, 0xC0, 0x0F, 0x40}
                                            : std::vector<UInt8>{0x5A, 0x00, 0xF0, 0x80};
    EXPECT_EQ(ReadAll(lines, 3), expected) << "photometric " << photometric;
    EXPECT_TRUE(lines.finished());
  }
}

TEST(TiffLines, GreyComesOutWithZeroForBlack) {
  Image image;
  image.width = 3;
  image.height = 2;
  image.rows = {0, 128, 255, 1, 2, 3};
  image.photometric = PHOTOMETRIC_MINISBLACK;
  TiffLines lines;
  std::string error;
  ASSERT_TRUE(lines.Open(TiffBytes(image), &error)) << error;
  EXPECT_EQ(lines.mode(), ScanMode::kGray);
  EXPECT_EQ(ReadAll(lines, 100), image.rows);

  image.photometric = PHOTOMETRIC_MINISWHITE;
  ASSERT_TRUE(lines.Open(TiffBytes(image), &error)) << error;
  EXPECT_EQ(ReadAll(lines, 1), (std::vector<UInt8>{255, 127, 0, 254, 253, 252}));
}

TEST(TiffLines, ColourLinesCutAnywhereAndEndOnce) {
  Image image;
  image.width = 5;
  image.height = 7;  // three strips, the last one short
  image.spp = 3;
  image.photometric = PHOTOMETRIC_RGB;
  for (size_t i = 0; i < 5 * 7 * 3; ++i) image.rows.push_back(UInt8(i * 7));
  for (uint16_t compression : {COMPRESSION_NONE, COMPRESSION_LZW}) {
    TiffLines lines;
    std::string error;
    ASSERT_TRUE(lines.Open(TiffBytes(image, compression), &error)) << error;
    EXPECT_EQ(lines.parameters().format, SANE_FRAME_RGB);
    EXPECT_EQ(lines.parameters().bytes_per_line, 15);
    EXPECT_EQ(ReadAll(lines, 4), image.rows) << "compression " << compression;
    UInt8 byte;
    EXPECT_EQ(lines.Read(&byte, 1, &error), 0);  // and stays at the end
  }
}

TEST(TiffLines, FilesNoFrameCanCarryAreRefused) {
  TiffLines lines;
  std::string error;
  EXPECT_FALSE(lines.Open({}, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(lines.Open({'P', '6', '\n', '1', ' ', '1', '\n'}, &error));
  EXPECT_FALSE(lines.isOpen());

  Image deep;
  deep.width = 2;
  deep.height = 1;
  deep.bps = 16;
  deep.rows = {0, 1, 2, 3};
  EXPECT_FALSE(lines.Open(TiffBytes(deep), &error));
  EXPECT_NE(error.find("16 bits"), std::string::npos) << error;

  Image palette;
  palette.width = 2;
  palette.height = 1;
  palette.spp = 3;
  palette.photometric = PHOTOMETRIC_SEPARATED;
  palette.rows = {1, 2, 3, 4, 5, 6};
  EXPECT_FALSE(lines.Open(TiffBytes(palette), &error));

  // Cut before its directory: no image at all.
  Image grey;
  grey.width = 64;
  grey.height = 64;
  for (size_t i = 0; i < 64 * 64; ++i) grey.rows.push_back(UInt8(i % 61));
  std::vector<UInt8> bytes = TiffBytes(grey, COMPRESSION_LZW);
  EXPECT_FALSE(lines.Open(std::vector<UInt8>(bytes.begin(), bytes.begin() + 8), &error));
}

TEST(TiffLines, ALineThatCannotBeDecodedEndsTheImageWithAnError) {
  Image grey;
  grey.width = 64;
  grey.height = 64;
  for (size_t i = 0; i < 64 * 64; ++i) grey.rows.push_back(UInt8(i % 61));
  std::vector<UInt8> bytes = TiffBytes(grey, COMPRESSION_LZW);
  // The directory follows the pixels; spoil the compressed pixels between header and directory.
  const uint32_t directory = bytes[4] | bytes[5] << 8 | bytes[6] << 16 | uint32_t(bytes[7]) << 24;
  ASSERT_LT(directory, bytes.size());
  for (size_t i = 8; i < directory; ++i) bytes[i] = 0xFF;
  TiffLines lines;
  std::string error;
  ASSERT_TRUE(lines.Open(std::move(bytes), &error)) << error;
  std::vector<UInt8> all(64 * 64);
  long n = lines.Read(all.data(), all.size(), &error);
  EXPECT_EQ(n, -1);
  EXPECT_NE(error.find("cannot be read"), std::string::npos) << error;
}

}  // namespace
}  // namespace tarvell::sane
