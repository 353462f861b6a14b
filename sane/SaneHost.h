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
#include "sane/SaneOptions.h"

namespace tarvell::sane {

class Device;

// Messages for people: on standard error when SANE_DEBUG_TARVELL is at least `level`
// (1 errors, 3 the host's steps, 5 also the driver's own log lines).
void Debug(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
int DebugLevel();

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

// One open scanner: a SANE handle.
class Device {
 public:
  Device(Backend& backend, ScannerObjectInfo* record, UInt32 location, std::string name, std::string model);
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  OptionSet& options() { return *options_; }
  // The frame sane_read delivers: the current scan's, exact once Start has returned, else the one
  // the options will give.
  SANE_Parameters Parameters() const;
  // Starts a scan and returns as soon as the image's header has arrived (the scan goes on on the
  // driver thread). A scan still finishing on the device is waited for first.
  SANE_Status Start();
  // sane_read: GOOD with *length bytes as they arrive (0 when non-blocking and none are there),
  // EOF once the header's byte count has been handed out, CANCELLED after Cancel, IO_ERROR when
  // the page cannot be completed.
  SANE_Status Read(SANE_Byte* data, SANE_Int capacity, SANE_Int* length);
  // sane_set_io_mode and sane_get_select_fd; INVAL outside a scan.
  SANE_Status SetNonBlocking(bool nonBlocking);
  SANE_Status SelectFd(SANE_Int* fd) const;
  // Asks the scan to stop and returns at once; the scan finishes on the device in the background,
  // dropping the rest of the page. Only sets flags and writes to a pipe, so a signal handler, or
  // another thread while a call is running, may call it.
  void Cancel();
  // Held by each call on the device; Close waits for it.
  std::mutex& calls() { return calls_; }
  // Closed by Backend::Close: a call that was waiting for calls() when it came finds nothing.
  bool closed() const { return closed_; }

  UInt32 location() const { return location_; }
  const std::string& name() const { return name_; }
  const std::string& model() const { return model_; }
  bool gone() const { return gone_; }
  // Between a successful Start and the end of its image (EOF, an error or a cancel): options are
  // frozen then.
  bool scanning() const { return scanning_ && !cancelRequested_.load(); }
  ScannerObjectInfo* record() const { return record_; }

 private:
  friend class Backend;
  // Reads capabilities in a session of their own: bed size and resolutions. On the driver thread.
  void ReadCapabilities();
  // The scan failed: IO_ERROR, and the device is closed and marked gone when it has left the bus.
  SANE_Status Failed(const std::string& why, ICAError err);
  // The page cannot be completed: Failed once its job has ended, IO_ERROR when it stopped answering.
  SANE_Status PageFailed();
  // Lets go of the current page (its job may still be finishing on the driver thread).
  void ReleaseStream();
  // Backend::Close's part, under calls(): the page's job ended, the device closed. Throws nothing.
  void Shut();

  Backend& backend_;
  ScannerObjectInfo* record_;  // the host's record of the device (the host's store owns it)
  UInt32 location_;
  std::string name_;
  std::string model_;
  ScanSpace space_;
  std::unique_ptr<OptionSet> options_;
  bool gone_ = false;
  std::shared_ptr<tarvell::host::PageStream> stream_;
  // The page Cancel may reach: set while stream_ is alive, cleared before it goes; a stream is
  // let go only once no Cancel is looking at it.
  std::atomic<tarvell::host::PageStream*> cancellable_{nullptr};
  std::atomic<int> cancelling_{0};
  bool scanning_ = false;   // a page is being handed out
  bool delivered_ = false;  // the last page was read to its end
  bool nonBlocking_ = false;
  // The last scan's frame and its settings: still the answer after its end while the options
  // are unchanged.
  SANE_Parameters frame_{};
  ScanSettings frameSettings_;
  bool hasFrame_ = false;
  std::atomic<bool> cancelRequested_{false};
  std::mutex calls_;
  bool closed_ = false;
};

}  // namespace tarvell::sane
