#include "sane/SaneConfig.h"

#include <fstream>

#include "platform/system/Parse.h"

namespace tarvell::sane {
namespace {}  // namespace

UInt32 DefaultSimulatedLocation(size_t index) {
  // Bus 1 in the top byte, then the port number in the first nibble of the port path.
  return 0x01000000u | (UInt32((index % 15) + 1) << 20);
}

BackendConfig ParseConfig(std::istream& in, const std::string& name) {
  BackendConfig config;
  tarvell::ReadConfigLines(in, [&](int lineNumber, const std::vector<std::string>& word) {
    auto warn = [&](const std::string& why) {
      config.warnings.push_back(name + ":" + std::to_string(lineNumber) + ": " + why);
    };

    if (word[0] == "simulate") {
      tarvell::sim::SimulatedScannerOptions options;
      options.locationID = DefaultSimulatedLocation(config.simulated.size());
      std::string rest, bad, why;
      for (size_t i = 1; i < word.size(); ++i) rest += word[i] + " ";
      if (!tarvell::sim::ParseSimulatedScannerOptions(rest, &options, &bad, &why)) {
        warn(why + "; line skipped");
        return;
      }
      config.simulated.push_back(options);
    } else if (word[0] == "capture" || word[0] == "replay") {
      if (word.size() != 2) {
        warn("'" + word[0] + "' takes one file name; line skipped");
        return;
      }
      (word[0] == "capture" ? config.capture : config.replay) = word[1];
    } else if (word[0] == "usb") {
      unsigned long long a = 0, b = 0;
      UsbEntry entry;
      if (word.size() == 3 && tarvell::ParseUnsigned(word[1], 0xFFFF, &a) &&
          tarvell::ParseUnsigned(word[2], 0xFFFF, &b)) {
        entry.vendorID = UInt16(a);
        entry.productID = UInt16(b);
      } else if (word.size() == 2 && tarvell::ParseUnsigned(word[1], 0xFFFFFFFFull, &a) && a < 0x01000000) {
        // A location has its bus number (1 or more) in the top byte: this is rather a vendor alone.
        warn("'usb " + word[1] +
             "' is no location (its top byte, the bus number, is 0); for a search give the vendor and "
             "the product (usb 0x2b7e 0x0c5a); line skipped");
        return;
      } else if (word.size() == 2 && tarvell::ParseUnsigned(word[1], 0xFFFFFFFFull, &a)) {
        entry.byLocation = true;
        entry.locationID = UInt32(a);
      } else {
        warn(
            "'usb' takes a vendor and a product identifier (usb 0x2b7e 0x0c5a) or a location "
            "(usb 0x01100000); line skipped");
        return;
      }
      config.usb.push_back(entry);
    } else if (word[0] == "end-at-job-end" && word.size() == 1) {
      config.endAtJobEnd = true;
    } else {
      warn("unknown keyword '" + word[0] + "'; line skipped");
    }
  });
  return config;
}

BackendConfig LoadConfig(const std::vector<std::string>& searchPath) {
  for (const std::string& dir : searchPath) {
    const std::string file = dir + "/" + kConfigFileName;
    std::ifstream in(file);
    if (!in) continue;
    BackendConfig config = ParseConfig(in, file);
    config.path = file;
    return config;
  }
  return BackendConfig();
}

}  // namespace tarvell::sane
