// The documents the server hands out, written with libxml2's writer under the prefixes every
// client reads (scan: and pwg:, some match them as written), and the TXT record of the mDNS
// announcement.
#pragma once

#include <string>
#include <vector>

#include "platform/system/Types.h"

namespace tarvell::escl {

// Version 2.0, so the formats are offered as pwg:DocumentFormat only (DocumentFormatExt belongs to
// later versions); ScanSettings may name them with either element.
constexpr char kEsclVersion[] = "2.0";
constexpr char kManufacturer[] = "Tarvell";
// The formats offered, in this order: PDF for clients whose PNG reading is unreliable, PNG for
// the lossless stream, JPEG for phones. No TIFF.
const std::vector<std::string>& OfferedFormats();

// The scanner as clients see it.
struct ScannerDescription {
  std::string makeAndModel;
  std::string serialNumber;
  std::string uuid;
  std::string iconUrl;   // "" to leave it out
  std::string adminUrl;  // the scanning page; "" to leave it out
  UInt32 width = 0;      // the glass, in 1/300 inch
  UInt32 height = 0;
  UInt32 minimumSide = 16;          // the smallest region side taken, in 1/300 inch
  std::vector<UInt32> resolutions;  // ascending, in every mode (colour above colourMaximum is scaled)
  UInt32 colourMaximum = 0;         // the highest resolution the device scans in colour
};

std::string CapabilitiesDocument(const ScannerDescription& scanner);

enum class JobState { kProcessing, kCompleted, kCanceled, kAborted };
enum class JobReason { kScanning, kCompletedSuccessfully, kCanceledByUser, kAbortedBySystem, kErrorsDetected };
enum class ScannerState { kIdle, kProcessing, kDown };
// Their eSCL text.
const char* Text(JobState state);
const char* Text(JobReason reason);
const char* Text(ScannerState state);

struct JobStatus {
  std::string uri;  // /eSCL/ScanJobs/ID
  std::string uuid;
  UInt32 ageSeconds = 0;
  UInt32 imagesCompleted = 0;
  UInt32 imagesToTransfer = 0;
  JobState state = JobState::kProcessing;
  JobReason reason = JobReason::kScanning;
};

std::string StatusDocument(ScannerState state, const std::vector<JobStatus>& jobs);

std::string ImageInfoDocument(const std::string& jobUri, const std::string& jobUuid, UInt32 width, UInt32 height,
                              UInt32 bytesPerLine);

// The icon's file (a 128 x 128 RGBA PNG): beside the installed program, at the install prefix, or
// in the build tree; "" when there is none.
std::string IconFile();

// The TXT record of the _uscan._tcp announcement, as "key=value" strings.
std::vector<std::string> AnnouncementText(const ScannerDescription& scanner);

}  // namespace tarvell::escl
