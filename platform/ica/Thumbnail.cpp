// The device icon the host ships, and its decoding into the 48 x 48 RGBA thumbnail record.
#include <png.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/ica/HostInternal.h"
#include "platform/ica/ICAHost.h"
#include "platform/system/SystemInfo.h"

namespace {

bool IsReadableFile(const std::string& path) { return !path.empty() && access(path.c_str(), R_OK) == 0; }

struct PngImage {
  png_image image;
  PngImage() {
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
  }
  ~PngImage() { png_image_free(&image); }
};

}  // namespace

namespace tarvell {
namespace ica {

std::string ShippedIconFile() {
  // Installed: <prefix>/bin/scanner-module and <prefix>/share/tarvell/scanner-icon.png.
  const std::string dir = tarvell::ProgramDirectory();
  if (!dir.empty()) {
    std::string beside = dir + "/../share/tarvell/" TARVELL_ICA_ICON_NAME;
    if (IsReadableFile(beside)) return beside;
  }
  if (IsReadableFile(TARVELL_ICA_INSTALLED_ICON)) return TARVELL_ICA_INSTALLED_ICON;
  // Run from the build tree.
  if (IsReadableFile(TARVELL_ICA_SOURCE_ICON)) return TARVELL_ICA_SOURCE_ICON;
  return "";
}

}  // namespace ica
}  // namespace tarvell

ICAError ICDScannerCreateICAThumbnailFromICNS(const char* iconFile, ICAThumbnail* thumbnail) {
  tarvell::ica::internal::RecordThumbnailRequest(iconFile ? iconFile : "");
  if (ICAError err = tarvell::ica::internal::Fault(tarvell::ica::HostCall::kCreateThumbnail)) return err;
  if (iconFile == nullptr || thumbnail == nullptr || iconFile[0] == '\0') return paramErr;

  PngImage png;
  if (!png_image_begin_read_from_file(&png.image, iconFile)) return fnfErr;
  png.image.format = PNG_FORMAT_RGBA;
  const png_uint_32 width = png.image.width;
  const png_uint_32 height = png.image.height;
  if (width == 0 || height == 0 || width > 4096 || height > 4096) return paramErr;
  std::vector<png_byte> pixels(PNG_IMAGE_SIZE(png.image));
  if (!png_image_finish_read(&png.image, nullptr, pixels.data(), 0, nullptr)) return paramErr;

  thumbnail->width = kICAThumbnailSide;
  thumbnail->height = kICAThumbnailSide;
  thumbnail->dataSize = kICAThumbnailDataSize;
  // Nearest-neighbour scaling onto 48 x 48 (a shipped 48 x 48 icon is copied as it is).
  for (UInt32 y = 0; y < kICAThumbnailSide; ++y) {
    const png_uint_32 sy = y * height / kICAThumbnailSide;
    for (UInt32 x = 0; x < kICAThumbnailSide; ++x) {
      const png_uint_32 sx = x * width / kICAThumbnailSide;
      std::memcpy(&thumbnail->data[(y * kICAThumbnailSide + x) * 4],
                  &pixels[(static_cast<size_t>(sy) * width + sx) * 4], 4);
    }
  }
  return noErr;
}
