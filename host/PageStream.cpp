#include "host/PageStream.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <system_error>

#include "driver/ScannerCallbacks.h"
#include "imaging/ImageConversion.h"
#include "platform/ica/HostSteps.h"

namespace tarvell::host {
namespace {

// Rows are queued in blocks of at least this size, so that a page is a few hundred allocations.
constexpr size_t kChunkBytes = 256 * 1024;

}  // namespace

std::shared_ptr<PageStream> PageStream::Start(DriverThread& thread, ScannerObjectInfo* device,
                                              plist::DictionaryRef settings, PagePatience patience) {
  std::shared_ptr<PageStream> stream(new PageStream(patience));
  thread.Post([stream, device, settings] { stream->Run(device, settings); });
  return stream;
}

PageStream::PageStream(PagePatience patience) : patience_(patience) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
  readFd_ = fds[0];
  writeFd_ = fds[1];
}

PageStream::~PageStream() {
  close(readFd_);
  close(writeFd_);
}

void PageStream::Run(ScannerObjectInfo* device, const plist::DictionaryRef& settings) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lastSign_ = std::chrono::steady_clock::now();
  }
  // The host's order: session, capabilities, scan area, start, end of session.
  ICAError err = tarvell::ica::OpenSession(device);
  if (err != noErr) return Finish(err, "opening a session");
  const char* step = "setting the scan area";
  plist::DictionaryRef caps;
  err = tarvell::ica::GetParameters(device, &caps);
  if (err == noErr) err = settings ? tarvell::ica::SetParameters(device, settings) : ICAError(memFullErr);
  if (err == noErr) {
    step = "the scan";
    err = ScanToSink(device, this);
  }
  tarvell::ica::CloseSession(device);
  Finish(err, err == noErr ? "" : step);
}

void PageStream::Take(const UInt8* bytes, size_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  lastSign_ = std::chrono::steady_clock::now();
  if (cancelled_.load() || !why_.empty()) {
    // The rest of the page is dropped, and what waited for the reader goes with it.
    chunks_.clear();
    queued_ = 0;
    return;
  }
  try {
    const size_t used = haveFormat_ ? 0 : header_.Take(bytes, count);
    if (!haveFormat_) ReadHeader();
    if (haveFormat_) Queue(bytes + used, count - used);
  } catch (const std::bad_alloc&) {
    Fail("out of memory for the image");
  }
}

void PageStream::ReadHeader() {
  if (header_.status() == PnmHeaderStatus::kIncomplete) return;
  if (header_.status() != PnmHeaderStatus::kComplete) return Fail("the scanner's image has no readable header");
  const PnmHeader& header = header_.header();
  // The samples' meaning as the conversion to TIFF gives it; the frame's own is fixed.
  const ColorSpace space = colorSpaceNameFromFormat(header.format);
  switch (sppFromFormat(header.format) == 3 ? 3 : bpsFromFormat(header.format)) {
    case 1:
      format_.kind = PageFormat::kBitmap;
      invert_ = space == ColorSpace::White;
      break;
    case 8:
      format_.kind = PageFormat::kGray;
      invert_ = space == ColorSpace::Black;
      break;
    default: format_.kind = PageFormat::kRGB; break;
  }
  if (space == ColorSpace::None) return Fail("the scanner's image has no known colour interpretation");
  format_.width = header.width;
  format_.height = header.height;
  format_.bytesPerLine = header.pixelBytes / header.height;
  haveFormat_ = true;
  Signal();
}

void PageStream::Queue(const UInt8* bytes, size_t count) {
  const size_t room = format_.bytes() - accepted_;
  if (count > room) {
    dropped_ += count - room;
    count = room;
  }
  if (count == 0) return;
  if (chunks_.empty() || chunks_.back().capacity() - chunks_.back().size() < count) {
    chunks_.emplace_back();
    chunks_.back().reserve(std::max(count, kChunkBytes));
  }
  std::vector<UInt8>& chunk = chunks_.back();
  const size_t at = chunk.size();
  chunk.insert(chunk.end(), bytes, bytes + count);
  if (invert_)
    for (size_t i = at; i < chunk.size(); ++i) chunk[i] = UInt8(~chunk[i]);
  queued_ += count;
  accepted_ += count;
  Signal();
}

void PageStream::Fail(std::string why) {
  if (why_.empty()) why_ = std::move(why);
  chunks_.clear();
  queued_ = 0;
  Signal();
}

void PageStream::Finish(ICAError status, const char* step) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    status_ = status;
    // A page whose every byte came is whole, whatever happened on the device after it.
    const bool whole = haveFormat_ && accepted_ == format_.bytes();
    if (!whole && status != noErr)
      Fail(std::string(step) + " failed (status " + std::to_string(status) + ")");
    else if (!haveFormat_)
      Fail("the scanner sent no image header");
    else if (!whole)
      Fail("the page ended after " + std::to_string(accepted_) + " of its " + std::to_string(format_.bytes()) +
           " bytes");
    Signal();
  }
  finished_.notify_all();
}

void PageStream::Signal() {
  if (signalled_) return;
  signalled_ = true;
  const char byte = 1;
  (void)!write(writeFd_, &byte, 1);
}

void PageStream::Drain() {
  char bytes[64];
  while (read(readFd_, bytes, sizeof bytes) > 0) {
  }
  signalled_ = false;
  // A cancel keeps the descriptor readable for good: its byte may have been drained just now.
  if (cancelled_.load()) Signal();
}

void PageStream::Cancel() {
  cancelled_.store(true);
  const char byte = 1;
  (void)!write(writeFd_, &byte, 1);
}

std::chrono::steady_clock::time_point PageStream::Deadline() const {
  return lastSign_ + (accepted_ > 0 ? patience_.withinImage : patience_.beforeImage);
}

bool PageStream::GiveUpIfQuiet() {
  if (done_) return false;
  if (gaveUp_) return true;
  if (std::chrono::steady_clock::now() < Deadline()) return false;
  gaveUp_ = true;
  Fail(std::string("the scanner stopped answering (nothing for ") +
       std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(Deadline() - lastSign_).count()) + " ms)");
  return true;
}

void PageStream::Await(std::unique_lock<std::mutex>& lock) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(Deadline() - std::chrono::steady_clock::now());
  lock.unlock();
  pollfd ready{readFd_, POLLIN, 0};
  if (left.count() > 0) poll(&ready, 1, int(std::min<long long>(left.count(), 1 << 30)));
  lock.lock();
}

bool PageStream::WaitForFormat(PageFormat* format) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (cancelled_.load()) return false;
    if (haveFormat_) {
      *format = format_;
      return true;
    }
    if (!why_.empty() || done_ || GiveUpIfQuiet()) return false;
    Drain();
    // A cancel between the check above and the drain left its flag, and wrote after it.
    if (cancelled_.load()) return false;
    Await(lock);
  }
}

PageStream::Result PageStream::Read(UInt8* out, size_t capacity, size_t* count, bool block) {
  *count = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (cancelled_.load()) return Result::kCancelled;
    if (!why_.empty()) return Result::kFailed;
    if (queued_ > 0) {
      while (*count < capacity && queued_ > 0) {
        std::vector<UInt8>& front = chunks_.front();
        const size_t n = std::min(capacity - *count, front.size() - frontOffset_);
        std::copy_n(front.data() + frontOffset_, n, out + *count);
        *count += n;
        frontOffset_ += n;
        queued_ -= n;
        if (frontOffset_ == front.size() && (chunks_.size() > 1 || accepted_ == format_.bytes())) {
          chunks_.pop_front();
          frontOffset_ = 0;
        }
      }
      delivered_ += *count;
      if (queued_ == 0 && delivered_ < format_.bytes() && !done_) Drain();
      return Result::kData;
    }
    if (haveFormat_ && delivered_ == format_.bytes()) return Result::kEnd;
    if (done_ || GiveUpIfQuiet()) return Result::kFailed;
    Drain();
    if (cancelled_.load()) return Result::kCancelled;
    if (!block) return Result::kWouldBlock;
    Await(lock);
  }
}

bool PageStream::WaitUntilDone() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!done_) {
    if (GiveUpIfQuiet()) return false;
    finished_.wait_until(lock, Deadline());
  }
  return true;
}

size_t PageStream::queued() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queued_;
}

ICAError PageStream::status() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return status_;
}

std::string PageStream::why() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return why_;
}

}  // namespace tarvell::host
