// Any bytes as a delivered TIFF: the reader refuses them or hands out exactly the frame its
// parameters promise, and never reads outside what it was given.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "sane/TiffLines.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tarvell::sane::TiffLines lines;
  std::string error;
  if (!lines.Open(std::vector<UInt8>(data, data + size), &error)) return 0;
  const SANE_Parameters p = lines.parameters();
  // Frames beyond a few megabytes only cost time here.
  if (uint64_t(p.bytes_per_line) * uint64_t(p.lines) > (8u << 20)) return 0;
  std::vector<SANE_Byte> buffer(4093);
  uint64_t total = 0;
  for (;;) {
    long n = lines.Read(buffer.data(), buffer.size(), &error);
    if (n < 0) return 0;
    if (n == 0) break;
    total += uint64_t(n);
  }
  if (total != uint64_t(p.bytes_per_line) * uint64_t(p.lines)) std::abort();
  return 0;
}
