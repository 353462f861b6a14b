// `scanner-module scan`: one scan through the module's callbacks in the host's order, the file
// read in pieces and written whole (a temporary file beside the target, renamed at the end).
#pragma once

#include <string>

#include "platform/ica/CommandLineHost.h"
#include "platform/plist/PropertyList.h"

namespace tarvell {
namespace ica {

// The user's scan, as given on the command line.
struct ScanRequest {
  enum Mode { kLineart, kGray, kColor } mode = kColor;
  UInt32 resolution = 300;        // dots per inch
  double left = 0, top = 0;       // millimetres from the glass's top-left corner
  double width = 215.9;           // millimetres (letter: 8.5 x 11 inch)
  double height = 279.4;
  UInt32 scale = 100;             // percent
  std::string output;             // empty: the name the driver gives
  bool progress = false;
};

// Reads the scan options of `options` (defaults: colour, 300 dpi, letter). False with a message
// for the user when a value is malformed or the area leaves the glass.
bool ParseScanRequest(const HostOptions& options, ScanRequest* request, std::string* error);

// The "userScanArea" dictionary for `request` in the dialect `systemVersion` selects: flat up to
// 0x102F, capability records above. Offsets go in 1/600 inch, sizes in pixels at the resolution.
plist::DictionaryRef MakeScanSettings(const ScanRequest& request, SInt32 systemVersion);

int RunScan(const HostOptions& options);

}  // namespace ica
}  // namespace tarvell
