// What `scanner-module scan` is asked to do: the area, resolution, mode and scale from the
// command line, checked first on its own and then against the glass the driver reports.
#pragma once

#include <string>

#include "cli/CommandLineHost.h"
#include "cli/OutputFile.h"
#include "platform/ica/ScanSettings.h"
#include "platform/plist/PropertyList.h"

namespace tarvell {
namespace ica {

// The user's scan, as given on the command line (defaults: colour, 300 dpi, letter).
struct ScanRequest : ScanArea {
  std::string output;  // empty: the name the driver gives
  const OutputFormat* format = &OutputFormats().front();
  bool progress = false;
  bool endAtJobEnd = false;  // end the data at the end-of-job packet, not the time-out after it
};

// Reads the scan options of `options`. False with a message for the user when a value is
// malformed or the area holds no pixel.
bool ParseScanRequest(const HostOptions& options, ScanRequest* request, std::string* error);
// False with a message when the area leaves the glass of the capabilities `caps` (the driver's
// get-parameters dictionary, in either dialect).
bool CheckScanArea(const ScanArea& area, const plist::DictionaryRef& caps, std::string* error);

}  // namespace ica
}  // namespace tarvell
