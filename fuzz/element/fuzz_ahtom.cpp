// Any text of any length fills exactly length/2 + length%2 bytes and reads nothing past its NUL.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "element/TextConversion.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  size_t length = std::strlen(text.c_str());
  std::vector<unsigned char> out(length / 2 + length % 2);
  if (ahtom(text.c_str(), out.data()) != out.data()) std::abort();
  // Hex text written from the output reads back to the same bytes.
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char b : out) {
    hex += kHex[b >> 4];
    hex += kHex[b & 0x0F];
  }
  std::vector<unsigned char> again(out.size());
  ahtom(hex.c_str(), again.data());
  if (again != out) std::abort();
  return 0;
}
