// One page streamed from the scanner while it is scanned. The scan runs on the host's driver
// thread and hands the device's image stream to this object as it crosses the wire; a reader on
// another thread takes the rows as they come. The stream's header is read once, as it arrives,
// and the rows go on in the frame scanning programs expect (packed 1-bit rows with 1 for black,
// 8-bit grey rows with 0 for black, 8-bit RGB rows), each byte copied once on the way.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/DriverThread.h"
#include "imaging/ImageConversion.h"
#include "imaging/ImageEncoder.h"
#include "platform/ica/ICAHost.h"
#include "platform/plist/PropertyList.h"
#include "usb/CSimpleScanner.h"
#include "usb/ScanJob.h"

namespace tarvell::host {

// What the page is, from its header.
using PageFormat = tarvell::imaging::PageFormat;

// How long a wait on a page's job lasts without a sign of life from it (its start, its bytes,
// its end). Every bulk transfer ends within its completion time-out, so a working device is never
// quiet longer than the transfers in between allow: before the image, the tail of a job still
// finishing (two calls), the job's three calls and its idle reads; within it, one read and the
// job's last two calls. Past that a transfer is stuck, and the page ends with an error.
constexpr std::chrono::milliseconds TransfersTime(int count) {
  return std::chrono::milliseconds(count * ::CSimpleScanner::kCompletionTimeoutMs);
}
struct PagePatience {
  std::chrono::milliseconds beforeImage = TransfersTime(4 + 6 + kScanJobIdleReadLimit);
  std::chrono::milliseconds withinImage = TransfersTime(1 + 4);
};

class PageStream : private ScanDataSink {
 public:
  enum class Result {
    kData,        // bytes handed out
    kWouldBlock,  // none there yet (only when not blocking)
    kEnd,         // every byte of the page has been handed out
    kCancelled,   // Cancel was called
    kFailed,      // the page cannot be completed: why() says why
  };

  // Starts a scan on `thread`: a session on `device` (an open device record), the capabilities,
  // `settings` (a set-parameters dictionary), the streamed scan, the end of the session. Returns
  // at once. `device` must stay open until the stream is done; everything posted to `thread`
  // later runs after the job. Throws std::system_error when no pipe can be made.
  static std::shared_ptr<PageStream> Start(DriverThread& thread, ScannerObjectInfo* device,
                                           plist::DictionaryRef settings, PagePatience patience = PagePatience());
  ~PageStream() override;
  PageStream(const PageStream&) = delete;
  PageStream& operator=(const PageStream&) = delete;

  // Waits for the page's header: true with *format once it has arrived; false when the scan
  // failed, ended, was cancelled or stopped answering first.
  bool WaitForFormat(PageFormat* format);
  // Copies up to `capacity` bytes of the next rows into `out` and sets *count. Blocking, it waits
  // until there are some (or the page is over). kEnd comes as soon as the header's byte count has
  // been handed out, while the job may still be finishing with the device.
  Result Read(UInt8* out, size_t capacity, size_t* count, bool block);
  // Stops handing out rows: reads give kCancelled from now on and the rest of the page is dropped
  // as it arrives, while the job goes on to its end, so the device gets all its calls. Only sets
  // a flag and writes to a pipe: safe in a signal handler. readyFd() stays readable from then on.
  void Cancel();
  bool cancelled() const { return cancelled_.load(); }
  // Readable whenever Read would not block.
  int readyFd() const { return readFd_; }

  // Waits until the job has ended on the driver thread: false, with why() set, when it stopped
  // answering first.
  bool WaitUntilDone();
  // The bytes the stream holds for the reader: after a cancel or a failure, none.
  size_t queued() const;
  // Once done: the driver's status (noErr for a whole job).
  ICAError status() const;
  // Why the page cannot be completed (a failed step, a short page, a malformed image); empty
  // while it can.
  std::string why() const;

 private:
  explicit PageStream(PagePatience patience);
  void Run(ScannerObjectInfo* device, const plist::DictionaryRef& settings);
  // The driver thread's side.
  void Take(const UInt8* bytes, size_t count) override;
  void Finish(ICAError status, const char* step);
  // Called with mutex_ held.
  void ReadHeader();
  void Queue(const UInt8* bytes, size_t count);
  void Fail(std::string why);
  void Signal();
  void Drain();
  // When a wait must give up for want of a sign of life; gives up (Fail) once it is past.
  std::chrono::steady_clock::time_point Deadline() const;
  bool GiveUpIfQuiet();
  // Waits on readyFd() until it is readable or the deadline has passed; unlocks `lock` meanwhile.
  void Await(std::unique_lock<std::mutex>& lock);

  mutable std::mutex mutex_;
  std::condition_variable finished_;
  std::atomic<bool> cancelled_{false};
  int readFd_ = -1;
  int writeFd_ = -1;
  bool signalled_ = false;  // a byte waits in the pipe

  PnmStreamHeader header_;
  bool haveFormat_ = false;
  PageFormat format_;
  bool invert_ = false;  // the device's polarity is the opposite of the frame's
  std::deque<std::vector<UInt8>> chunks_;
  size_t frontOffset_ = 0;  // bytes of chunks_.front() already handed out
  size_t queued_ = 0;
  size_t accepted_ = 0;  // pixel bytes taken into the queue
  size_t dropped_ = 0;   // bytes beyond the header's count
  size_t delivered_ = 0;
  std::string why_;
  bool done_ = false;
  ICAError status_ = noErr;
  const PagePatience patience_;
  std::chrono::steady_clock::time_point lastSign_ = std::chrono::steady_clock::now();
  bool gaveUp_ = false;  // a wait found the job quiet for too long
};

}  // namespace tarvell::host
