#include "driver/SimulatedScannerSetup.h"

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <vector>

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

bool ParseSimulatedFaults(const std::string& faults, tarvell::sim::ScannerMisbehaviour* out,
                          std::string* error) {
  std::istringstream items(faults);
  std::string item;
  // The list a bare method name after "exception-for=create" belongs to.
  std::vector<std::string>* methods = nullptr;
  while (std::getline(items, item, ',')) {
    if (item.empty()) continue;
    const size_t equals = item.find('=');
    const std::string name = item.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
    const bool hasValue = equals != std::string::npos;
    long long number = 0;
    std::vector<std::string>* list = name == "exception-for"     ? &out->exceptionFor
                                     : name == "no-reply-for"    ? &out->noReplyFor
                                     : name == "split-reply-for" ? &out->splitReplyFor
                                                                 : nullptr;
    if (name == "unknown-packets" && !hasValue) {
      out->unknownPackets = true;
      methods = nullptr;
    } else if (name == "corrupt-header" && !hasValue) {
      out->corruptHeader = true;
      methods = nullptr;
    } else if (name == "timeouts-before-data" && ParseCount(value, &number) && number <= 1000000) {
      out->timeoutsBeforeData = int(number);
      methods = nullptr;
    } else if (name == "gone-after-bytes" && ParseCount(value, &number)) {
      out->goneAfterBytes = number;
      methods = nullptr;
    } else if (name == "short-image-by" && ParseCount(value, &number)) {
      out->shortImageBy = size_t(number);
      methods = nullptr;
    } else if (list && !value.empty()) {
      list->push_back(value);
      methods = list;
    } else if (!hasValue && methods) {
      methods->push_back(item);
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
