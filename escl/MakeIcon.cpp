// Run at build time: draws the icon eSCL clients show (a square RGBA PNG of the size asked) from
// the scanner's own icon, each pixel repeated by nearest neighbour.
//   tarvell-escl-icon FROM.png TO.png SIZE
#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "imaging/RowScaler.h"

int main(int argc, char** argv) {
  const long size = argc == 4 ? std::strtol(argv[3], nullptr, 10) : 0;
  if (size < 1 || size > 4096) {
    std::fprintf(stderr, "usage: tarvell-escl-icon FROM.png TO.png SIZE\n");
    return 2;
  }
  png_image from{};
  from.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&from, argv[1])) {
    std::fprintf(stderr, "tarvell-escl-icon: cannot read %s\n", argv[1]);
    return 1;
  }
  from.format = PNG_FORMAT_RGBA;
  std::vector<png_byte> pixels(PNG_IMAGE_SIZE(from));
  if (!png_image_finish_read(&from, nullptr, pixels.data(), 0, nullptr)) return 1;
  tarvell::imaging::RowScaler scaler(from.width, from.height, UInt32(size), UInt32(size), 4);
  std::vector<UInt8> scaled;
  scaler.Feed(pixels.data(), pixels.size(), &scaled);
  png_image to{};
  to.version = PNG_IMAGE_VERSION;
  to.width = to.height = png_uint_32(size);
  to.format = PNG_FORMAT_RGBA;
  if (!scaler.done() || !png_image_write_to_file(&to, argv[2], 0, scaled.data(), 0, nullptr)) {
    std::fprintf(stderr, "tarvell-escl-icon: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
