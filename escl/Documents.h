// The documents the server hands out, written with libxml2's writer under the prefixes every
// client reads (scan: and pwg:, some match them as written), and the TXT record of the mDNS
// announcement.
#pragma once

#include <string>
#include <vector>

#include "platform/system/Types.h"

namespace tarvell::escl {

constexpr char kEsclVersion[] = "2.0";
// The formats offered, in this order: PDF for clients whose PNG reading is unreliable, PNG for
// the lossless stream, JPEG for phones. No TIFF.
const std::vector<std::string>& OfferedFormats();

// The scanner as clients see it.
struct ScannerDescription {
  std::string makeAndModel;
  std::string serialNumber;
  std::string uuid;
  std::string iconUrl;  // "" to leave it out
  UInt32 width = 0;     // the glass, in 1/300 inch
  UInt32 height = 0;
  UInt32 minimumSide = 16;          // the smallest region side taken, in 1/300 inch
  std::vector<UInt32> resolutions;  // ascending
  UInt32 colourMaximum = 0;         // the highest resolution in colour
  // The scanning page; "" to leave it out.
  std::string adminUrl;
};

std::string CapabilitiesDocument(const ScannerDescription& scanner);

struct JobStatus {
  std::string uri;  // /eSCL/ScanJobs/ID
  std::string uuid;
  UInt32 ageSeconds = 0;
  UInt32 imagesCompleted = 0;
  UInt32 imagesToTransfer = 0;
  std::string state;   // Pending, Processing, Completed, Canceled, Aborted
  std::string reason;  // JobScanning, JobCompletedSuccessfully, JobCanceledByUser, ...
};

// `state`: Idle, Processing, Down.
std::string StatusDocument(const std::string& state, const std::vector<JobStatus>& jobs);

std::string ImageInfoDocument(const std::string& jobUri, const std::string& jobUuid, UInt32 width, UInt32 height,
                              UInt32 bytesPerLine);

// The TXT record of the _uscan._tcp announcement, as "key=value" strings.
std::vector<std::string> AnnouncementText(const ScannerDescription& scanner);

}  // namespace tarvell::escl
