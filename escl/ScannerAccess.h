// The scanner as the server uses it: the bus the configuration chose, the driver on a thread of
// its own, the device opened when it is first needed (and again after it went away), what it
// offers as eSCL describes it, and pages streamed through host/PageStream as every host scans.
// Callers serialise their calls (the scan service holds its lock); pages are read on any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "escl/Documents.h"
#include "escl/ServerConfig.h"
#include "host/DriverThread.h"
#include "host/HostBus.h"
#include "host/PageStream.h"
#include "platform/ica/ScanSettings.h"

namespace tarvell::escl {

class ScannerAccess {
 public:
  // Installs the configured bus and the driver's callbacks; opens nothing yet. Problems with the
  // bus go to *problems, one line each.
  ScannerAccess(const ServerConfig& config, std::vector<std::string>* problems);
  // Waits for a page still finishing on the device, closes the device, puts the bus back.
  ~ScannerAccess();
  ScannerAccess(const ScannerAccess&) = delete;
  ScannerAccess& operator=(const ScannerAccess&) = delete;

  // Opens the scanner unless it is open: true once it is. *why says what failed.
  bool Open(std::string* why);
  bool open() const { return record_ != nullptr; }
  // What the open scanner offers.
  const ScannerDescription& description() const { return description_; }

  // Starts scanning `area`; the page streams as the device delivers it. Only while open().
  std::shared_ptr<tarvell::host::PageStream> Start(const tarvell::ica::ScanArea& area);
  // The width and height in pixels a scan of `area` delivers; false when the driver would
  // refuse it.
  bool Predict(const tarvell::ica::ScanArea& area, UInt32* width, UInt32* height) const;
  // After a page failed: waits for its job to end and closes the device when it has left the
  // bus, so that the next request opens it afresh. True when it went away.
  bool CheckGone(const std::shared_ptr<tarvell::host::PageStream>& failed);

 private:
  void Close();

  std::optional<UInt32> location_;  // --device, else the first scanner found
  std::unique_ptr<tarvell::host::HostBus> bus_;
  ScannerObjectInfo* record_ = nullptr;
  UInt32 openedAt_ = 0;
  ScannerDescription description_;
  // Last, so that every posted call has run before the bus goes.
  tarvell::host::DriverThread driver_;
};

// A name-based UUID for the scanner at `location`, the same on every start on this machine.
std::string ScannerUuid(UInt32 location);

}  // namespace tarvell::escl
