// What `scanner-module scan` is asked to do: the area, resolution, mode and scale from the
// command line, checked first on its own and then against the glass the driver reports.
#pragma once

#include <string>

#include "cli/CommandLineHost.h"
#include "cli/OutputFile.h"
#include "host/ScanRules.h"
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
// What the scanner with `space` will make of `request`, by the rule every door follows under the
// command line's policy (a resolution it cannot scan exactly is snapped and said in plan->notice;
// an area off the glass is refused). False with a message when it is refused.
bool PlanRequest(const ScanRequest& request, const tarvell::host::ScanSpace& space, tarvell::host::ScanPlan* plan,
                 std::string* error);

}  // namespace ica
}  // namespace tarvell
