#include "driver/SimulatedScannerSetup.h"

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <sstream>

#include "platform/ica/CommandLineHost.h"

namespace {

bool ParseCount(const std::string& text, long long* out) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *out = value;
  return true;
}

}  // namespace

bool ParseSimulatedFaults(const std::string& spec, tarvell::sim::ScannerMisbehaviour* out,
                          std::string* error) {
  std::istringstream items(spec);
  std::string item;
  while (std::getline(items, item, ',')) {
    if (item.empty()) continue;
    const size_t equals = item.find('=');
    const std::string name = item.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
    const bool hasValue = equals != std::string::npos;
    long long number = 0;
    if (name == "unknown-packets" && !hasValue) {
      out->unknownPackets = true;
    } else if (name == "corrupt-header" && !hasValue) {
      out->corruptHeader = true;
    } else if (name == "timeouts" && ParseCount(value, &number) && number <= 1000000) {
      out->timeoutsBeforeData = int(number);
    } else if (name == "gone-after" && ParseCount(value, &number)) {
      out->goneAfterBytes = number;
    } else if (name == "short-image" && ParseCount(value, &number)) {
      out->shortImageBy = size_t(number);
    } else if ((name == "exception" || name == "no-reply" || name == "split-reply") &&
               !value.empty()) {
      auto& list = name == "exception"  ? out->exceptionFor
                   : name == "no-reply" ? out->noReplyFor
                                        : out->splitReplyFor;
      list.push_back(value);
    } else {
      *error = "bad --sim-fault item '" + item + "'";
      return false;
    }
  }
  return true;
}

void UseSimulatedScannerOnHost() {
  tarvell::ica::SetSimulatedScannerMaker([](tarvell::usb::SimBus& bus) {
    const tarvell::ica::HostOptions& options = tarvell::ica::RunningHostOptions();
    tarvell::sim::SimulatedScannerOptions scanner;
    scanner.locationID = tarvell::ica::kSimulatedScannerLocation;
    auto fault = options.values.find("sim-fault");
    if (fault != options.values.end()) {
      std::string error;
      if (!ParseSimulatedFaults(fault->second, &scanner.misbehave, &error)) {
        std::cerr << options.program << ": " << error << "\n";
        std::exit(tarvell::ica::kExitUsage);
      }
    }
    tarvell::sim::InstallSimulatedScanner(bus, scanner);
  });
}
