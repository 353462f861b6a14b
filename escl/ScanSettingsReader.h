// The ScanSettings document a client POSTs to ScanJobs, read into what it asks for. Elements are
// found by their local name wherever the client put them and whatever prefix it used; text is
// trimmed. What the document leaves out is left unset here, for the server to fill in.
#pragma once

#include <cstddef>
#include <string>

#include "platform/system/Types.h"

namespace tarvell::escl {

// Request bodies larger than this are refused before they are read.
constexpr size_t kMaxScanSettingsBytes = 64 * 1024;
// The longest text an element may hold.
constexpr size_t kMaxTextBytes = 256;

struct ScanRequest {
  // The first ScanRegion, in 1/300 inch; hasRegion false when there is none.
  bool hasRegion = false;
  UInt32 xOffset = 0, yOffset = 0, width = 0, height = 0;
  std::string colorMode;   // "RGB24", "Grayscale8", "BlackAndWhite1", ...; "" when not given
  UInt32 xResolution = 0;  // 0 when not given
  UInt32 yResolution = 0;
  std::string format;       // pwg:DocumentFormat, else scan:DocumentFormatExt; "" when neither
  std::string inputSource;  // "Platen", "Feeder", ...; "" when not given
  std::string intent;       // "Document", "Photo", ...; "" when not given
};

// False with *why when `bytes` is not a well-formed ScanSettings document, holds a DTD or a
// reference to an entity other than XML's own five and character references, holds an element
// with more than kMaxTextBytes of text, or a number in it is not a plain unsigned decimal. What
// *why quotes of the document is escaped and cut short for a log line.
bool ReadScanSettings(const char* bytes, size_t size, ScanRequest* out, std::string* why);

}  // namespace tarvell::escl
