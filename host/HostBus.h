// The bus a run uses, built from the options that choose it (the command line's --replay,
// --simulate and --capture, tarvell.conf's replay, simulate and capture lines): a capture played
// as the device, simulated scanners, or the USB bus through libusb, seen through a capture of its
// traffic when one is asked for. It is the active bus for as long as it lives.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/usb/Capture.h"
#include "platform/usb/ReplayBus.h"
#include "platform/usb/SimBus.h"
#include "platform/usb/USB.h"
#include "sim/SimulatedScanner.h"

namespace tarvell::host {

struct BusChoice {
  std::string replay;  // FILE[@BUS.DEV]: play this capture as the device
  // A simulated bus holding these scanners, when there is any (and no replay).
  std::vector<tarvell::sim::SimulatedScannerOptions> simulated;
  // A simulated bus with something else on it (tests), when set.
  std::function<void(tarvell::usb::SimBus&)> populate;
  std::string capture;  // record the run's traffic in this file
  // The clock paced simulated scanners run on: the real one when null (tests stop time).
  std::shared_ptr<tarvell::usb::SimClock> clock;
};

class HostBus {
 public:
  // Builds the bus and makes it the active one. What cannot be had is said in *problems, one
  // line each, and left out: an unreadable replay leaves no bus at all (nothing is found), a
  // capture that cannot be written leaves the bus without it.
  static std::unique_ptr<HostBus> Install(const BusChoice& choice, std::vector<std::string>* problems);
  // Puts the bus that was active before back.
  ~HostBus();
  HostBus(const HostBus&) = delete;
  HostBus& operator=(const HostBus&) = delete;

  // Ends the run's use of the bus: the capture file is completed. False, with a line each in
  // *problems, when that fails or the replay stopped on a transfer that differed.
  bool Finish(std::vector<std::string>* problems);

  // The simulated bus (null on USB and in a replay) and its scanners, in the choice's order.
  tarvell::usb::SimBus* simulatedBus() const { return simBus_.get(); }
  const std::vector<std::shared_ptr<tarvell::sim::SimulatedScanner>>& scanners() const { return scanners_; }

 private:
  HostBus() = default;

  std::shared_ptr<tarvell::usb::Bus> previous_;
  std::shared_ptr<tarvell::usb::SimBus> simBus_;
  std::shared_ptr<tarvell::usb::ReplayBus> replay_;
  std::shared_ptr<tarvell::usb::CapturingBus> capture_;
  std::vector<std::shared_ptr<tarvell::sim::SimulatedScanner>> scanners_;
  bool finished_ = false;
};

}  // namespace tarvell::host
