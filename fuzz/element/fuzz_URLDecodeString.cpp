// Decoding any text stays within it; encoding and decoding gives the bytes back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "element/TextConversion.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string decoded = URLDecodeString(text);
  if (decoded.size() > text.size()) std::abort();
  if (URLDecodeString(URLEncodeString(text)) != text) std::abort();
  return 0;
}
