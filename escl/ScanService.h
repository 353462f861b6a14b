// The eSCL resources without the HTTP around them: the documents, the scan jobs (one at a time)
// and the page each job delivers. A job belongs to the client address that made it: its page,
// its image information and its cancelling answer that address only. A job whose page nobody
// asks for is cancelled on a timer, so it does not hold the scanner. Every method may be called
// from any of the server's connection threads; a page is read on the thread of the request that
// fetches it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "escl/Documents.h"
#include "escl/ScanSettingsReader.h"
#include "escl/ScannerAccess.h"
#include "escl/ServerConfig.h"
#include "host/ScanRules.h"
#include "imaging/ImageEncoder.h"
#include "imaging/RowScaler.h"

namespace tarvell::escl {

constexpr char kRoot[] = "/eSCL";
constexpr char kIconPath[] = "/icon.png";

// A reply with its body in memory. Error replies have no body: a client decodes any body of a
// NextDocument reply as the image it asked for.
struct Reply {
  int status = 200;
  std::string contentType;
  std::string body;
  std::string location;  // the Location header, when set
  // Any other headers.
  std::vector<std::pair<std::string, std::string>> headers;
};

// A page sent whole to the client that read it, with its encoded bytes.
struct DeliveredPage {
  std::string jobId;
  tarvell::host::PageFormat frame;  // as the client got it (scaled, when it was)
  UInt32 dpi = 0;                   // the resolution the client asked for and got
  imaging::ImageFormat format = imaging::ImageFormat::kPng;
  std::vector<UInt8> bytes;
};

// What a job scans and what its client gets.
struct ScanPlan {
  tarvell::ica::ScanArea area;  // as the scanner scans it
  UInt32 resolution = 0;        // the page's, as asked: above area.resolution when colour is scaled up
  imaging::ImageFormat format = imaging::ImageFormat::kPng;
  tarvell::host::Page page;  // the page the client gets
};
// What `request` asks of `scanner`, with everything it left out filled in: the whole glass,
// 300 dpi, colour, a format for its intent (JPEG for photos and previews, else PDF). Colour above
// the scanner's colour maximum is scanned at that maximum, to be scaled up. False with *why
// (client text quoted) for what the scanner does not offer.
bool PlanScan(const ScanRequest& request, const ScannerDescription& scanner, ScanPlan* plan, std::string* why);

// The image of one job, encoded as it is read.
class PageDelivery {
 public:
  enum class Step { kData, kEnd, kFailed, kWouldBlock };
  // Waits for rows, encodes them and copies up to `capacity` encoded bytes into `out`: kData
  // with *count > 0, kEnd after the last byte, kFailed when the page cannot be completed (the
  // scanner failed, the job was cancelled, or the encoder gave up). Not blocking, it gives
  // kWouldBlock instead of waiting; readyFd() is readable once it would not.
  Step Read(char* out, size_t capacity, size_t* count, bool block = true);
  int readyFd() const;
  // The reader is gone: a page not read to its end is cancelled and its job aborted.
  ~PageDelivery();
  const char* contentType() const { return MimeType(format_); }
  // The reader wants the page kept once it has been read whole (a PNG page, for OnPageDelivered).
  void KeepWhenWhole() { keep_ = format_ == imaging::ImageFormat::kPng; }

 private:
  friend class ScanService;
  struct Job;
  PageDelivery(class ScanService& service, std::shared_ptr<Job> job);
  Step Fail(const std::string& why);

  ScanService& service_;
  std::shared_ptr<Job> job_;
  imaging::ImageFormat format_;
  std::unique_ptr<imaging::ImageEncoder> encoder_;
  std::unique_ptr<tarvell::imaging::RowScaler> scaler_;  // when the page is scaled
  std::vector<UInt8> scaled_;
  std::vector<UInt8> encoded_;
  size_t handedOut_ = 0;  // bytes of encoded_ already copied out
  std::vector<UInt8> rows_;
  bool ended_ = false;     // the encoder has finished
  bool complete_ = false;  // every byte copied out
  // Every byte sent, when the reader wants the page kept, for the service's OnPageDelivered.
  bool keep_ = false;
  std::vector<UInt8> kept_;
};

class ScanService {
 public:
  // Installs the scanner's bus and learns what the scanner offers (a scanner plugged in later is
  // looked for when a client asks). Problems go to *problems.
  ScanService(const ServerConfig& config, std::vector<std::string>* problems);
  ~ScanService();
  ScanService(const ScanService&) = delete;
  ScanService& operator=(const ScanService&) = delete;

  // Called with the scanner's description once it is known (for the announcement).
  void OnScannerOpened(std::function<void(const ScannerDescription&)> callback);
  // Called on the reader's thread, with the job's lock held, with each page read to its end whose
  // reader asked it kept (KeepWhenWhole); set before serving.
  void OnPageDelivered(std::function<void(DeliveredPage)> callback) { delivered_ = std::move(callback); }

  // `base` is "http://HOST" as the client named the server, or "" when it did not. `owner` is the
  // client's numeric address; a job answers its owner only, and is unknown (404) to others.
  Reply Capabilities(const std::string& base);
  Reply Status();
  Reply CreateJob(const std::string& owner, const std::string& base, const char* body, size_t size);
  Reply ImageInfo(const std::string& owner, const std::string& id);
  // Cancels the job and answers at once; the scanner ends the page on its own.
  Reply CancelJob(const std::string& owner, const std::string& id);
  // The job's page, held until its first rows have come; null with *reply set when there is
  // none to give (404 for an unknown job or one whose page has been fetched).
  std::unique_ptr<PageDelivery> NextDocument(const std::string& owner, const std::string& id, Reply* reply);
  // Cancels what is running, so that every reader returns.
  void Shutdown();

 private:
  friend class PageDelivery;
  using Job = PageDelivery::Job;
  // With mutex_ held: learns what the scanner offers, and says so (once) when it first does.
  bool DescribeScanner(std::string* why);
  // With mutex_ held: the job `owner` made with `id`, or null.
  std::shared_ptr<Job> Find(const std::string& owner, const std::string& id);
  void Finished(Job& job, JobState state, JobReason reason);
  // The page failed: the job is aborted and the rest of its page dropped, without waiting for it.
  void Failed(const std::shared_ptr<Job>& job, const std::string& why);
  // The reaper's thread: cancels unclaimed jobs and forgets finished ones when their time comes.
  void Reap();

  const std::chrono::seconds unclaimedAfter_;
  std::mutex mutex_;
  std::condition_variable wake_;  // the reaper's: a job was added, or the service shuts down
  ScannerAccess scanner_;
  std::vector<std::shared_ptr<Job>> jobs_;  // the most recent last
  std::function<void(const ScannerDescription&)> opened_;
  std::function<void(DeliveredPage)> delivered_;
  bool announced_ = false;
  bool shutDown_ = false;
  std::thread reaper_;  // last: started once everything it uses is there
};

}  // namespace tarvell::escl
