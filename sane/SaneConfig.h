// The backend's configuration file, tarvell.conf, read the way every scanner-access backend reads
// its own: from the folders named by SANE_CONFIG_DIR, then the system's folder.
//
//   # comments and blank lines are allowed
//   usb 0x2b7e 0x0c5a          search the USB bus for the scanner (the only identity supported)
//   usb 0x01100000             the scanner at one USB location
//   simulate [OPTION...]       a simulated scanner (no hardware needed), e.g.
//                              simulate timeouts-before-data=6 gone-after-bytes=4096
//   capture FILE               record every USB transfer to FILE (a pcap capture)
//   replay FILE[@BUS.DEV]      play a capture as the scanner instead of a bus
//   end-at-job-end             end each page's data at the device's end-of-job packet
//                              instead of its 15 s no-data time-out after the last byte
//
// Without a file, or with a file that names nothing, the backend searches the USB bus.
#pragma once

#include <istream>
#include <string>
#include <vector>

#include "platform/system/Types.h"
#include "sim/SimulatedScanner.h"

namespace tarvell::sane {

constexpr char kConfigFileName[] = "tarvell.conf";

// One "usb" line: a search by identity, or one location.
struct UsbEntry {
  bool byLocation = false;
  UInt16 vendorID = 0;
  UInt16 productID = 0;
  UInt32 locationID = 0;
};

struct BackendConfig {
  std::vector<UsbEntry> usb;
  // One simulated scanner per "simulate" line. When there is any, the backend runs on a simulated
  // bus holding only them (real devices and simulated ones are never mixed).
  std::vector<tarvell::sim::SimulatedScannerOptions> simulated;
  // An "end-at-job-end" line.
  bool endAtJobEnd = false;
  // Lines that were not understood, as "FILE:LINE: why"; they are skipped.
  std::vector<std::string> warnings;
  // "capture FILE": record the run's USB traffic there; "replay FILE": play it as the device
  // (before "simulate" and "usb" lines). Empty when not given.
  std::string capture;
  std::string replay;
  // The file the settings came from; empty when none was found.
  std::string path;
  // Tests: the clock paced simulated scanners run on (the real one when null).
  std::shared_ptr<tarvell::usb::SimClock> clock;

  bool simulate() const { return !simulated.empty(); }
};

// Where the simulated scanners sit when a line does not say: bus 1, ports 1, 2, 3...
UInt32 DefaultSimulatedLocation(size_t index);

// Reads a configuration. `name` only labels the warnings.
BackendConfig ParseConfig(std::istream& in, const std::string& name = kConfigFileName);

// Reads tarvell.conf from the first folder of `searchPath` (host/ConfigSearch.h) that has one; an empty configuration
// (path "") when none has.
BackendConfig LoadConfig(const std::vector<std::string>& searchPath);

}  // namespace tarvell::sane
