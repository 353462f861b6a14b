// The scanner-access host: a second image-capture host for the driver. It takes the same steps
// through gICDScannerCallbackFunctions as the command-line host (open device, open session,
// capabilities, scan area, start, describe the new file, read it in pieces, delete it, close
// session, close device) and turns what they give into SANE devices, options and frames.
//
// Nothing here is thread-safe: the C entry points (SaneBackend.cpp) call in one at a time. Errors
// come back as SANE statuses; exceptions are left to the entry points' guard.
#pragma once

#include <sane/sane.h>

#include <atomic>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/ica/ICAHost.h"
#include "platform/usb/Capture.h"
#include "platform/usb/ReplayBus.h"
#include "platform/usb/USB.h"
#include "sane/SaneConfig.h"
#include "sane/SaneOptions.h"
#include "sane/TiffLines.h"

namespace tarvell::usb {
class SimBus;
}

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
  // Closes what is still open and puts the previous bus back.
  ~Backend();
  Backend(const Backend&) = delete;
  Backend& operator=(const Backend&) = delete;

  struct Found {
    UInt32 location = 0;
    std::string name;   // the SANE device name, e.g. "sim:0x01100000"
    std::string model;  // the driver's name for it, e.g. "Tarvell K310 (USB)"
  };
  // Open devices first, then those the driver finds (each opened and closed again, as the
  // command-line host lists them).
  std::vector<Found> ListDevices();

  // Opens the device called `name` ("" for the first one found). GOOD with *device set, INVAL
  // for a name that names nothing here, DEVICE_BUSY when it is open already, IO_ERROR when the
  // driver cannot open it.
  SANE_Status Open(const std::string& name, Device** device);
  // Closes and forgets a device (its host record and driver objects).
  void Close(Device* device);
  // A device this backend handed out and has not closed.
  bool Owns(const void* handle) const;

  std::string NameFor(UInt32 location) const;
  // The location in a device name of this backend's bus ("sim:0x..." on the simulated bus,
  // "usb:0x..." on USB; a bare number on either). False when it is not one.
  bool ParseName(const std::string& name, UInt32* location) const;
  // Whether a device with `location` is on the bus (without opening it).
  bool Present(UInt32 location) const;
  // Whether another program holds the interface of the device at `location` (claiming it is
  // refused as exclusive access).
  bool HeldElsewhere(UInt32 location) const;
  // Lets the bus drop what it recorded of a finished scan (the simulated bus keeps every
  // transfer for tests; a frontend scanning for hours must not pile them up).
  void ForgetTransfers();

  const BackendConfig& config() const { return config_; }
  // The simulated bus (null on USB) and its scanners, in configuration order, for tests.
  tarvell::usb::SimBus* simulatedBus() const { return simBus_.get(); }
  const std::vector<std::shared_ptr<tarvell::sim::SimulatedScanner>>& simulated() const { return simulated_; }

 private:
  BackendConfig config_;
  std::shared_ptr<tarvell::usb::Bus> previousBus_;
  std::shared_ptr<tarvell::usb::SimBus> simBus_;
  std::shared_ptr<tarvell::usb::ReplayBus> replay_;
  std::shared_ptr<tarvell::usb::CapturingBus> capture_;
  std::vector<std::shared_ptr<tarvell::sim::SimulatedScanner>> simulated_;
  std::vector<std::unique_ptr<Device>> devices_;
  bool searchBus_ = false;         // a "usb VENDOR PRODUCT" line, or no line at all
  std::vector<UInt32> locations_;  // "usb LOCATION" lines
};

// One open scanner: a SANE handle.
class Device {
 public:
  Device(Backend& backend, ScannerObjectInfo* record, UInt32 location, std::string name, std::string model);
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  OptionSet& options() { return *options_; }
  // The frame sane_read will deliver: the current scan's once it has started, else the one the
  // options will give.
  SANE_Parameters Parameters() const;
  // Runs the whole scan through the driver and holds the delivered image for Read.
  SANE_Status Start();
  // sane_read: GOOD with *length bytes, EOF after the last line, CANCELLED after Cancel.
  SANE_Status Read(SANE_Byte* data, SANE_Int capacity, SANE_Int* length);
  // Asks the scan to stop. Only sets a flag, so a signal handler may call it; the next Read or
  // Start lets go of the image.
  void Cancel() { cancelRequested_.store(true); }

  UInt32 location() const { return location_; }
  const std::string& name() const { return name_; }
  const std::string& model() const { return model_; }
  bool gone() const { return gone_; }
  // Between a successful Start and the end of its image (EOF or cancel).
  bool scanning() const { return scanning_ && !cancelRequested_.load(); }
  ScannerObjectInfo* record() const { return record_; }

 private:
  friend class Backend;
  // Reads capabilities in a session of their own: bed size and resolutions.
  void ReadCapabilities();
  // The driver failed with `err` at `step`: IO_ERROR, and the device is marked gone when it
  // has left the bus.
  SANE_Status Failed(const char* step, ICAError err);
  void ReleaseImage();

  Backend& backend_;
  ScannerObjectInfo* record_;  // the host's record of the device (the host's store owns it)
  UInt32 location_;
  std::string name_;
  std::string model_;
  DeviceGeometry geometry_;
  std::unique_ptr<OptionSet> options_;
  bool gone_ = false;
  TiffLines image_;
  bool scanning_ = false;  // an image is held and not yet read to its end
  bool delivered_ = false; // the last scan was read to its end
  // The last scan's frame and its settings: still the answer after its end while the options
  // are unchanged.
  SANE_Parameters frame_{};
  ScanSettings frameSettings_;
  bool hasFrame_ = false;
  std::atomic<bool> cancelRequested_{false};
};

}  // namespace tarvell::sane
