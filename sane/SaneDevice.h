// One open scanner as a SANE handle: its options, its frame, and the page it streams from the
// driver thread to sane_read. Backend (SaneHost.h) opens and closes it; every driver call it makes
// goes to the backend's driver thread.
#pragma once

#include <sane/sane.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "host/DriverThread.h"
#include "host/PageStream.h"
#include "host/Scanners.h"
#include "platform/ica/ICAHost.h"
#include "sane/SaneOptions.h"

namespace tarvell::sane {

class Backend;

// Messages for people, through the doors' one log: on standard error when SANE_DEBUG_TARVELL is
// at least `level` (1 errors, 3 the host's steps, 5 also the driver's own log lines).
void Debug(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
int DebugLevel();

using tarvell::host::kDeviceCallBound;

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
