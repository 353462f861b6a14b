// Any bytes at any capacity: never more than capacity bytes written, never a read past the NUL.
// Text made by StrToBase64 decodes back to the original bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "element/TextConversion.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  int capacity = static_cast<int>(data[0]) - 16;                        // includes zero and negative capacities
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);  // c_str() adds the NUL
  std::vector<unsigned char> out(capacity > 0 ? static_cast<size_t>(capacity) : 0);
  int written = Base64ToStr(text.c_str(), out.data(), capacity);
  if (written < 0 || (capacity <= 0 && written != 0) || (capacity > 0 && written > capacity)) std::abort();

  std::string encoded = StrToBase64(data + 1, static_cast<int>(size - 1));
  std::vector<unsigned char> back(size);
  int decoded = Base64ToStr(encoded.c_str(), back.data(), static_cast<int>(back.size()));
  if (decoded != static_cast<int>(size - 1) || std::memcmp(back.data(), data + 1, size - 1) != 0) std::abort();
  return 0;
}
