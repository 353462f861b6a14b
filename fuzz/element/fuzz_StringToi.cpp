// Any text either converts or throws ValueConversionException; a successful conversion agrees
// with the decimal text it prints back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "element/Exception.h"
#include "element/TextConversion.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  try {
    int value = StringToi(text);
    if (StringToi(iToString(value)) != value) std::abort();
  } catch (const ValueConversionException&) {
  }
  return 0;
}
