// A POSTed ScanSettings document as any bytes: read or refused, never more. What is read is only
// what the document held: trimmed text of bounded length, numbers in range. A document with a DTD
// or an entity reference is never read.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "escl/ScanSettingsReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tarvell::escl::ScanRequest request;
  std::string why;
  if (!tarvell::escl::ReadScanSettings(reinterpret_cast<const char*>(data), size, &request, &why)) {
    if (why.empty()) std::abort();
    return 0;
  }
  for (const std::string* text : {&request.colorMode, &request.format, &request.inputSource, &request.intent}) {
    if (text->size() > size || text->size() > tarvell::escl::kMaxTextBytes) std::abort();
    if (!text->empty() && (text->front() == ' ' || text->back() == '\n')) std::abort();
  }
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (text.find("<!DOCTYPE") != std::string::npos || text.find("<!ENTITY") != std::string::npos) std::abort();
  for (UInt32 number : {request.xOffset, request.yOffset, request.width, request.height, request.xResolution})
    if (number > INT32_MAX) std::abort();
  return 0;
}
