// The scanner-access host: a second image-capture host for the driver. It takes the same steps
// through gICDScannerCallbackFunctions as the command-line host (open device, open session,
// capabilities, scan area, start, end of session, close device) and turns what they give into
// SANE devices, options and frames. The image is not made into a file: the driver hands it over
// while it is scanned (host/PageStream.h), and sane_read hands it on as it comes.
//
// Every driver and bus call runs on the backend's driver thread, one at a time, whatever thread
// the frontend calls from. The entry points (SaneBackend.cpp) call into a device one at a time
// (under its calls() lock), except Cancel; devices do not wait for each other. Errors come back
// as SANE statuses; exceptions are left to the entry points' guard.
#pragma once

#include <sane/sane.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/DriverThread.h"
#include "host/HostBus.h"
#include "host/PageStream.h"
#include "host/Scanners.h"
#include "platform/ica/ICAHost.h"
#include "sane/SaneConfig.h"
#include "sane/SaneDevice.h"
#include "sane/SaneOptions.h"

namespace tarvell::sane {

// Messages for people: on standard error when SANE_DEBUG_TARVELL is at least `level`
// (1 errors, 3 the host's steps, 5 also the driver's own log lines).
// The scanners a host can see, on the bus its configuration chose.
class Backend {
 public:
  // Puts the configured bus in place (remembering the one before) and registers the driver's
  // callbacks.
  explicit Backend(BackendConfig config);
  // Closes what is still open (cancelling a page still coming) and puts the previous bus back.
  ~Backend();
  Backend(const Backend&) = delete;
  Backend& operator=(const Backend&) = delete;

  struct Found {
    UInt32 location = 0;
    std::string name;   // the SANE device name, e.g. "sim:0x01100000"
    std::string model;  // the driver's name for it, e.g. "Tarvell K310 (USB)"
  };
  // Open devices first, then the scanners on the bus, found by their identity and location
  // without opening them, so that one another program is using is listed too.
  std::vector<Found> ListDevices();

  // Opens the device called `name` ("" for the first one found). GOOD with *device set, INVAL
  // for a name that names nothing here, DEVICE_BUSY when it is open already (here or in another
  // program), IO_ERROR when the driver cannot open it.
  SANE_Status Open(const std::string& name, Device** device);
  // Forgets the device behind `handle` and closes it: a page still coming is cancelled (the rest
  // is dropped as it arrives), a call still running on it returns first, the job's end is waited
  // for and the driver lets go of the device. Waits on nothing of other devices.
  void Close(const void* handle);
  // The device behind a handle this backend handed out and has not closed; null otherwise.
  std::shared_ptr<Device> Find(const void* handle) const;

  std::string NameFor(UInt32 location) const;
  // The location in a device name of this backend's bus ("sim:0x..." on the simulated bus,
  // "usb:0x..." on USB; a bare number on either). False when it is not one.
  bool ParseName(const std::string& name, UInt32* location) const;

  // Runs `task` on the driver thread and waits for it (tests reach the bus this way).
  template <class F>
  auto OnDriverThread(F&& task) {
    return driver_.Call(std::forward<F>(task));
  }
  tarvell::host::DriverThread& driver() { return driver_; }

  const BackendConfig& config() const { return config_; }
  // The simulated bus (null on USB) and its scanners, in configuration order, for tests.
  tarvell::usb::SimBus* simulatedBus() const { return bus_->simulatedBus(); }
  const std::vector<std::shared_ptr<tarvell::sim::SimulatedScanner>>& simulated() const { return bus_->scanners(); }

 private:
  friend class Device;
  BackendConfig config_;
  std::unique_ptr<tarvell::host::HostBus> bus_;
  mutable std::mutex devicesLock_;  // guards devices_, held across no device wait
  std::vector<std::shared_ptr<Device>> devices_;
  bool searchBus_ = false;         // a "usb VENDOR PRODUCT" line, or no line at all
  std::vector<UInt32> locations_;  // "usb LOCATION" lines
  std::unique_ptr<tarvell::host::DriverSetUp> setUp_;
  // Last, so that it is gone (every posted call run) before the bus and the devices go.
  tarvell::host::DriverThread driver_;
};

}  // namespace tarvell::sane
