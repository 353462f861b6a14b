#include "sane/SaneConfig.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tarvell::sane {
namespace {

// A whole unsigned number, decimal or 0x-hex, not above `max`.
bool ParseNumber(const std::string& text, unsigned long long max, unsigned long long* out) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0' || value > max) return false;
  *out = value;
  return true;
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ','))
    if (!item.empty()) items.push_back(item);
  return items;
}

// Applies one "simulate" option ("name" or "name=value"); false with *why when it is not one.
bool ApplySimulateOption(const std::string& word, tarvell::sim::SimulatedScannerOptions* options,
                         std::string* why) {
  const size_t equals = word.find('=');
  const std::string name = word.substr(0, equals);
  const bool hasValue = equals != std::string::npos;
  const std::string value = hasValue ? word.substr(equals + 1) : "";
  tarvell::sim::ScannerMisbehaviour& m = options->misbehave;
  unsigned long long number = 0;
  auto needNumber = [&](unsigned long long max) {
    if (hasValue && ParseNumber(value, max, &number)) return true;
    *why = "'" + name + "' needs a number" + (max < 0xFFFFFFFFull ? " up to " + std::to_string(max) : "");
    return false;
  };
  auto needList = [&](std::vector<std::string>* list) {
    *list = SplitList(value);
    if (!list->empty()) return true;
    *why = "'" + name + "' needs a list of methods, e.g. " + name + "=create,start";
    return false;
  };
  auto flag = [&](bool* target) {
    if (hasValue) {
      *why = "'" + name + "' takes no value";
      return false;
    }
    *target = true;
    return true;
  };

  if (name == "location") {
    if (!needNumber(0xFFFFFFFFull)) return false;
    if (number == 0) {
      *why = "location 0 is no location";
      return false;
    }
    options->locationID = UInt32(number);
    return true;
  }
  if (name == "layout") {
    if (value == "default") options->layout = tarvell::usb::K310Layout::kDefault;
    else if (value == "alt-setting") options->layout = tarvell::usb::K310Layout::kAltSetting1;
    else if (value == "no-image-pipe") options->layout = tarvell::usb::K310Layout::kNoImagePipe;
    else {
      *why = "'layout' is one of default, alt-setting, no-image-pipe";
      return false;
    }
    return true;
  }
  if (name == "timeouts-before-data") {
    if (!needNumber(1000000)) return false;
    m.timeoutsBeforeData = int(number);
    return true;
  }
  if (name == "gone-after-bytes") {
    if (!needNumber(0x7FFFFFFFFFFFFFFFull)) return false;
    m.goneAfterBytes = int64_t(number);
    return true;
  }
  if (name == "short-image-by") {
    if (!needNumber(0xFFFFFFFFull)) return false;
    m.shortImageBy = size_t(number);
    return true;
  }
  if (name == "packet-size") {
    if (!needNumber(16 * 1024 * 1024)) return false;
    if (number == 0) {
      *why = "'packet-size' must be at least 1";
      return false;
    }
    options->imagePacketSize = size_t(number);
    return true;
  }
  if (name == "seed") {
    if (!needNumber(0xFFFFFFFFull)) return false;
    options->seed = uint32_t(number);
    return true;
  }
  if (name == "exception-for") return needList(&m.exceptionFor);
  if (name == "split-reply-for") return needList(&m.splitReplyFor);
  if (name == "no-reply-for") return needList(&m.noReplyFor);
  if (name == "unknown-packets") return flag(&m.unknownPackets);
  if (name == "corrupt-header") return flag(&m.corruptHeader);
  *why = "unknown simulate option '" + name + "'";
  return false;
}

}  // namespace

UInt32 DefaultSimulatedLocation(size_t index) {
  // Bus 1 in the top byte, then the port number in the first nibble of the port path.
  return 0x01000000u | (UInt32((index % 15) + 1) << 20);
}

BackendConfig ParseConfig(std::istream& in, const std::string& name) {
  BackendConfig config;
  std::string line;
  int lineNumber = 0;
  while (std::getline(in, line)) {
    ++lineNumber;
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::vector<std::string> word;
    for (std::string w; words >> w;) word.push_back(w);
    if (word.empty()) continue;
    auto warn = [&](const std::string& why) {
      config.warnings.push_back(name + ":" + std::to_string(lineNumber) + ": " + why);
    };

    if (word[0] == "simulate") {
      tarvell::sim::SimulatedScannerOptions options;
      options.locationID = DefaultSimulatedLocation(config.simulated.size());
      bool ok = true;
      std::string why;
      for (size_t i = 1; i < word.size() && ok; ++i) ok = ApplySimulateOption(word[i], &options, &why);
      if (!ok) {
        warn(why + "; line skipped");
        continue;
      }
      config.simulated.push_back(options);
    } else if (word[0] == "usb") {
      unsigned long long a = 0, b = 0;
      UsbEntry entry;
      if (word.size() == 3 && ParseNumber(word[1], 0xFFFF, &a) && ParseNumber(word[2], 0xFFFF, &b)) {
        entry.vendorID = UInt16(a);
        entry.productID = UInt16(b);
      } else if (word.size() == 2 && ParseNumber(word[1], 0xFFFFFFFFull, &a) && a != 0) {
        entry.byLocation = true;
        entry.locationID = UInt32(a);
      } else {
        warn("'usb' takes a vendor and a product identifier (usb 0x2b7e 0x0c5a) or a location "
             "(usb 0x01100000); line skipped");
        continue;
      }
      config.usb.push_back(entry);
    } else if (word[0] == "end-at-job-end" && word.size() == 1) {
      config.endAtJobEnd = true;
    } else {
      warn("unknown keyword '" + word[0] + "'; line skipped");
    }
  }
  return config;
}

std::vector<std::string> ConfigSearchPath(const char* saneConfigDir,
                                          const std::vector<std::string>& systemDirs) {
  std::vector<std::string> path;
  auto add = [&](const std::string& dir) {
    if (dir.empty()) return;
    for (const std::string& known : path)
      if (known == dir) return;
    path.push_back(dir);
  };
  if (saneConfigDir) {
    std::stringstream in(saneConfigDir);
    std::string dir;
    while (std::getline(in, dir, ':')) add(dir);
  }
  for (const std::string& dir : systemDirs) add(dir);
  return path;
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
