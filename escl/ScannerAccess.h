// The scanner as the server uses it: the bus the configuration chose, the driver on a thread of
// its own, what the scanner offers as eSCL describes it, and pages streamed through
// host/PageStream as every host scans. The scanner is open only while a page is scanned. Any
// thread may call; pages are read on any thread.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "escl/Documents.h"
#include "escl/ServerConfig.h"
#include "host/DriverThread.h"
#include "host/HostBus.h"
#include "host/PageStream.h"
#include "host/Scanners.h"
#include "platform/ica/ScanSettings.h"

namespace tarvell::escl {

class ScannerAccess {
 public:
  // Installs the configured bus and the driver's callbacks; opens nothing yet. Problems with the
  // bus go to *problems, one line each.
  ScannerAccess(const ServerConfig& config, std::vector<std::string>* problems);
  // Waits for a page still finishing on the device, then puts the bus back.
  ~ScannerAccess();
  ScannerAccess(const ScannerAccess&) = delete;
  ScannerAccess& operator=(const ScannerAccess&) = delete;

  // Learns what the scanner offers, opening it for that until it has once: true once known, else
  // false with *why.
  bool Describe(std::string* why);
  // What the scanner offers; fixed once Describe has returned true.
  const ScannerDescription& description() const { return description_; }

  // Opens the scanner, starts scanning `area` and closes the scanner again once the page's job
  // has ended, so that other programs can use it between pages. The page streams as the device
  // delivers it. Waits for a page still finishing on the device. Null with *why when the scanner
  // cannot be opened.
  std::shared_ptr<tarvell::host::PageStream> Start(const tarvell::ica::ScanArea& area, std::string* why);

 private:
  // On the driver thread: opens the scanner on a new record.
  bool OpenScanner(ScannerObjectInfo** record, UInt32* location, std::string* why);

  std::optional<UInt32> location_;  // --device, else the first scanner found
  std::unique_ptr<tarvell::host::HostBus> bus_;
  std::unique_ptr<tarvell::host::DriverSetUp> setUp_;
  std::mutex mutex_;  // one caller at a time
  std::atomic<bool> described_{false};
  ScannerDescription description_;
  // Last, so that every posted call has run before the bus goes.
  tarvell::host::DriverThread driver_;
};

// A name-based UUID for the scanner at `location`, the same on every start on this machine.
std::string ScannerUuid(UInt32 location);

}  // namespace tarvell::escl
