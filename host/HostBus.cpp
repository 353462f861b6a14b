#include "host/HostBus.h"

#include "platform/usb/LibusbBus.h"

namespace tarvell::host {

std::unique_ptr<HostBus> HostBus::Install(const BusChoice& choice, std::vector<std::string>* problems) {
  std::unique_ptr<HostBus> host(new HostBus());
  host->previous_ = tarvell::usb::ActiveBus();
  std::shared_ptr<tarvell::usb::Bus> bus;
  tarvell::usb::CaptureOptions clock;
  std::string error;
  if (!choice.replay.empty()) {
    bus = host->replay_ =
        tarvell::usb::ReplayBus::Open(choice.replay, tarvell::device::kVendorID, tarvell::device::kProductID, &error);
    if (!bus) problems->push_back(error);
  } else if (choice.populate || !choice.simulated.empty()) {
    host->simBus_ = tarvell::usb::SimBus::Create();
    host->simBus_->SetRecording(false);  // nothing in a run reads it
    if (choice.populate) {
      choice.populate(*host->simBus_);
    } else {
      for (const auto& options : choice.simulated)
        host->scanners_.push_back(tarvell::sim::InstallSimulatedScanner(*host->simBus_, options, choice.clock));
    }
    // A capture keeps the simulated bus's own time, so the same run gives the same file.
    std::shared_ptr<tarvell::usb::SimBus> simulated = host->simBus_;
    clock.clockMicros = [simulated] { return simulated->Now() * 1000; };
    bus = simulated;
  } else {
    bus = tarvell::usb::MakeLibusbBus();
  }
  if (bus && !choice.capture.empty()) {
    host->capture_ = tarvell::usb::CapturingBus::Create(bus, choice.capture, &error, clock);
    if (host->capture_)
      bus = host->capture_;
    else
      problems->push_back(error);
  }
  tarvell::usb::SetActiveBus(bus);
  return host;
}

bool HostBus::Finish(std::vector<std::string>* problems) {
  if (finished_) return true;
  finished_ = true;
  tarvell::usb::SetActiveBus(nullptr);
  const size_t before = problems->size();
  if (replay_ && !replay_->divergence().empty()) problems->push_back("replay stopped: " + replay_->divergence());
  std::string error;
  if (capture_ && !capture_->Finish(&error)) problems->push_back(error);
  return problems->size() == before;
}

HostBus::~HostBus() {
  std::vector<std::string> ignored;
  Finish(&ignored);
  tarvell::usb::SetActiveBus(previous_);
}

}  // namespace tarvell::host
