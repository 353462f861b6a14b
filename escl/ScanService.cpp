#include "escl/ScanService.h"

#include <uuid/uuid.h>

#include <algorithm>
#include <cstring>
#include <iostream>

#include "platform/system/Parse.h"

namespace tarvell::escl {
namespace {

using tarvell::host::PageFormat;
using Clock = std::chrono::steady_clock;

// Finished jobs kept for ScannerStatus.
constexpr size_t kJobsKept = 10;
// A job whose page nobody has asked for in this long no longer holds the scanner.
constexpr auto kUnclaimedAfter = std::chrono::seconds(60);
// Bytes taken from the scanner per step of a delivery.
constexpr size_t kReadBytes = 64 * 1024;

void Log(const std::string& message) { std::cerr << "tarvell-escl: " + message + "\n" << std::flush; }

std::string NewJobId() {
  uuid_t uuid;
  uuid_generate_random(uuid);
  char text[37];
  uuid_unparse_lower(uuid, text);
  return text;
}

Reply Empty(int status) {
  Reply reply;
  reply.status = status;
  return reply;
}

Reply Xml(std::string body) {
  Reply reply;
  reply.contentType = "text/xml";
  reply.body = std::move(body);
  return reply;
}

// What a request asks of this scanner: the area the driver scans and the format it gets, with
// everything the client left out filled in (the whole glass, 300 dpi, colour, a format for its
// intent). False with *why for what the scanner does not offer.
bool Resolve(const ScanRequest& request, const ScannerDescription& scanner, tarvell::ica::ScanArea* area,
             ImageFormat* format, std::string* why) {
  auto refuse = [why](std::string text) {
    *why = std::move(text);
    return false;
  };
  if (!request.inputSource.empty() && request.inputSource != "Platen")
    return refuse("input source " + request.inputSource + ": the scanner has only a platen");
  using Mode = tarvell::ica::ScanArea::Mode;
  const std::string& mode = request.colorMode;
  if (mode.empty() || mode == "RGB24")
    area->mode = Mode::kColor;
  else if (mode == "Grayscale8")
    area->mode = Mode::kGray;
  else if (mode == "BlackAndWhite1")
    area->mode = Mode::kLineart;
  else
    return refuse("colour mode " + mode + " is not offered");

  UInt32 x = request.xResolution ? request.xResolution : request.yResolution;
  const UInt32 y = request.yResolution ? request.yResolution : x;
  if (x == 0) x = 300;
  if (y != 0 && x != y) return refuse("different X and Y resolutions");
  if (std::find(scanner.resolutions.begin(), scanner.resolutions.end(), x) == scanner.resolutions.end())
    return refuse(std::to_string(x) + " dpi is not offered");
  if (area->mode == Mode::kColor && x > scanner.colourMaximum)
    return refuse("colour goes up to " + std::to_string(scanner.colourMaximum) + " dpi");
  area->resolution = x;

  std::string mime = request.format;
  if (mime.empty()) mime = request.intent == "Photo" || request.intent == "Preview" ? "image/jpeg" : "application/pdf";
  if (!FormatFromMime(mime, format)) return refuse("format " + mime + " is not offered");

  // A region that runs past the glass (an A4 page is a hair longer than it) is scanned as far as
  // the glass goes.
  UInt64 left = 0, top = 0, width = scanner.width, height = scanner.height;
  if (request.hasRegion) {
    left = request.xOffset, top = request.yOffset;
    width = std::min<UInt64>(request.width, scanner.width - std::min<UInt64>(left, scanner.width));
    height = std::min<UInt64>(request.height, scanner.height - std::min<UInt64>(top, scanner.height));
    if (width < scanner.minimumSide || height < scanner.minimumSide)
      return refuse("the region is not on the glass or smaller than its minimum");
  }
  constexpr double kMillimetresPer300 = tarvell::ica::kMillimetresPerInch / 300;
  area->left = double(left) * kMillimetresPer300;
  area->top = double(top) * kMillimetresPer300;
  area->width = double(width) * kMillimetresPer300;
  area->height = double(height) * kMillimetresPer300;
  return true;
}

PageFormat::Kind KindOf(tarvell::ica::ScanArea::Mode mode) {
  using Mode = tarvell::ica::ScanArea::Mode;
  return mode == Mode::kColor ? PageFormat::kRGB : mode == Mode::kGray ? PageFormat::kGray : PageFormat::kBitmap;
}

}  // namespace

struct PageDelivery::Job {
  std::string id;  // also its UUID
  Clock::time_point created = Clock::now();
  tarvell::ica::ScanArea area;
  ImageFormat format = ImageFormat::kPng;
  std::shared_ptr<tarvell::host::PageStream> stream;
  PageFormat page;       // predicted, then as the scanner delivers it
  bool fetched = false;  // NextDocument has been asked for
  const char* state = "Processing";
  const char* reason = "JobScanning";
  UInt32 imagesCompleted = 0;

  bool active() const { return std::strcmp(state, "Processing") == 0; }
  std::string uri() const { return std::string(kRoot) + "/ScanJobs/" + id; }
};

// ---------------------------------------------------------------------------------------------
// PageDelivery

PageDelivery::PageDelivery(ScanService& service, std::shared_ptr<Job> job)
    : service_(service), job_(std::move(job)), format_(job_->format), rows_(kReadBytes) {}

PageDelivery::~PageDelivery() {
  if (complete_) return;
  job_->stream->Cancel();
  std::lock_guard<std::mutex> lock(service_.mutex_);
  if (job_->active()) {
    Log("job " + job_->id + ": the client left before the end of the page");
    service_.Finished(*job_, "Aborted", "AbortedBySystem");
  }
}

PageDelivery::Step PageDelivery::Fail(const std::string& why) {
  service_.Failed(job_, why);
  return Step::kFailed;
}

PageDelivery::Step PageDelivery::Read(char* out, size_t capacity, size_t* count) {
  *count = 0;
  while (handedOut_ == encoded_.size()) {
    encoded_.clear();
    handedOut_ = 0;
    if (ended_) return Step::kEnd;
    size_t got = 0;
    switch (job_->stream->Read(rows_.data(), rows_.size(), &got, true)) {
      case tarvell::host::PageStream::Result::kData:
        if (!encoder_->Feed(rows_.data(), got)) return Fail(encoder_->why());
        break;
      case tarvell::host::PageStream::Result::kEnd:
        if (!encoder_->Finish()) return Fail(encoder_->why());
        ended_ = true;
        break;
      case tarvell::host::PageStream::Result::kWouldBlock: break;
      case tarvell::host::PageStream::Result::kCancelled: return Step::kFailed;
      case tarvell::host::PageStream::Result::kFailed: return Fail(job_->stream->why());
    }
  }
  const size_t n = std::min(capacity, encoded_.size() - handedOut_);
  std::memcpy(out, encoded_.data() + handedOut_, n);
  handedOut_ += n;
  *count = n;
  if (service_.delivered_ && format_ == ImageFormat::kPng) kept_.insert(kept_.end(), out, out + n);
  if (ended_ && handedOut_ == encoded_.size()) {
    // The last byte is on its way: the job is done before the client can ask what came of it.
    complete_ = true;
    std::lock_guard<std::mutex> lock(service_.mutex_);
    job_->imagesCompleted = 1;
    service_.Finished(*job_, "Completed", "JobCompletedSuccessfully");
    if (service_.delivered_ && format_ == ImageFormat::kPng)
      service_.delivered_({job_->id, job_->page, job_->area.resolution, format_, std::move(kept_)});
  }
  return Step::kData;
}

// ---------------------------------------------------------------------------------------------
// ScanService

ScanService::ScanService(const ServerConfig& config, std::vector<std::string>* problems) : scanner_(config, problems) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string why;
  if (!DescribeScanner(&why)) Log(why + "; it is looked for again when a client asks for it");
}

ScanService::~ScanService() { Shutdown(); }

void ScanService::OnScannerOpened(std::function<void(const ScannerDescription&)> callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  opened_ = std::move(callback);
  if (opened_ && announced_) opened_(scanner_.description());
}

bool ScanService::DescribeScanner(std::string* why) {
  if (!scanner_.Describe(why)) return false;
  if (!announced_) {
    announced_ = true;
    Log("serving the " + scanner_.description().makeAndModel + " at " + scanner_.description().serialNumber);
    if (opened_) opened_(scanner_.description());
  }
  return true;
}

std::shared_ptr<PageDelivery::Job> ScanService::Find(const std::string& id) {
  for (const auto& job : jobs_)
    if (job->id == id) return job;
  return nullptr;
}

void ScanService::Finished(Job& job, const char* state, const char* reason) {
  if (!job.active()) return;
  job.state = state;
  job.reason = reason;
}

void ScanService::Failed(const std::shared_ptr<Job>& job, const std::string& why) {
  job->stream->Cancel();
  job->stream->WaitUntilDone();
  std::lock_guard<std::mutex> lock(mutex_);
  if (!job->active()) return;
  Log("job " + job->id + ": " + why +
      (job->stream->status() == kICADeviceNotFoundErr ? " (the scanner has gone away)" : ""));
  Finished(*job, "Aborted", "ErrorsDetected");
}

Reply ScanService::Capabilities(const std::string& base) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string why;
  if (!DescribeScanner(&why)) return Empty(503);
  ScannerDescription scanner = scanner_.description();
  if (!base.empty()) {
    scanner.iconUrl = base + kIconPath;
    scanner.adminUrl = base + "/";
  }
  return Xml(CapabilitiesDocument(scanner));
}

Reply ScanService::Status() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string why;
  const char* state = DescribeScanner(&why) ? "Idle" : "Down";
  std::vector<JobStatus> jobs;
  for (auto it = jobs_.rbegin(); it != jobs_.rend(); ++it) {
    const Job& job = **it;
    if (job.active()) state = "Processing";
    const auto age = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - job.created).count();
    jobs.push_back(
        {job.uri(), job.id, UInt32(age), job.imagesCompleted, job.active() ? 1u : 0u, job.state, job.reason});
  }
  return Xml(StatusDocument(state, jobs));
}

Reply ScanService::CreateJob(const std::string& base, const char* body, size_t size) {
  ScanRequest request;
  std::string why;
  if (!ReadScanSettings(body, size, &request, &why)) {
    Log("ScanSettings refused: " + why);
    return Empty(size > kMaxScanSettingsBytes ? 413 : 400);
  }
  auto job = std::make_shared<Job>();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (shutDown_ || !DescribeScanner(&why)) return Empty(503);
    for (const auto& other : jobs_) {
      if (!other->active()) continue;
      if (!other->stream || other->fetched || Clock::now() - other->created < kUnclaimedAfter) return Empty(503);
      Log("job " + other->id + ": nobody asked for its page; cancelled");
      other->stream->Cancel();
      Finished(*other, "Canceled", "AbortedBySystem");
    }
    UInt32 width = 0, height = 0;
    if (!Resolve(request, scanner_.description(), &job->area, &job->format, &why) ||
        !scanner_.Predict(job->area, &width, &height) || width == 0 || height == 0) {
      Log("ScanSettings refused: " + (why.empty() ? "the area is empty" : why));
      return Empty(409);
    }
    job->id = NewJobId();
    job->page.kind = KindOf(job->area.mode);
    job->page.width = width;
    job->page.height = height;
    job->page.bytesPerLine = job->page.kind == PageFormat::kRGB    ? 3 * width
                             : job->page.kind == PageFormat::kGray ? width
                                                                   : (width + 7) / 8;
    // Listed, the job keeps other jobs out while the scanner is being opened.
    jobs_.push_back(job);
    while (jobs_.size() > kJobsKept && !jobs_.front()->active()) jobs_.erase(jobs_.begin());
  }
  // Opening the scanner waits for the last page's end on the device; requests go on meanwhile.
  std::shared_ptr<tarvell::host::PageStream> stream;
  try {
    stream = scanner_.Start(job->area, &why);
  } catch (const std::exception& e) {
    why = e.what();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!stream) {
    Log("cannot scan: " + why);
    jobs_.erase(std::find(jobs_.begin(), jobs_.end(), job));
    return Empty(503);
  }
  job->stream = stream;
  if (!job->active()) stream->Cancel();  // cancelled while the scanner was being opened
  Reply reply = Empty(201);
  reply.location = base + job->uri();
  return reply;
}

Reply ScanService::ImageInfo(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<Job> job = Find(id);
  if (!job) return Empty(404);
  return Xml(ImageInfoDocument(job->uri(), job->id, job->page.width, job->page.height, UInt32(job->page.bytesPerLine)));
}

Reply ScanService::CancelJob(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<Job> job = Find(id);
  if (!job) return Empty(404);
  if (job->active()) {
    if (job->stream) job->stream->Cancel();
    Finished(*job, "Canceled", "JobCanceledByUser");
  }
  return Empty(200);
}

std::unique_ptr<PageDelivery> ScanService::NextDocument(const std::string& id, Reply* reply) {
  *reply = Empty(404);
  std::shared_ptr<Job> job;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    job = Find(id);
    // One page a job: once it has been asked for, there is none left.
    if (!job || job->fetched || !job->active()) return nullptr;
    if (!job->stream) {  // still being started
      *reply = Empty(503);
      return nullptr;
    }
    job->fetched = true;
  }
  PageFormat page;
  if (!job->stream->WaitForFormat(&page)) {
    if (job->stream->cancelled()) return nullptr;
    Failed(job, job->stream->why().empty() ? "the scanner sent no image" : job->stream->why());
    *reply = Empty(500);
    return nullptr;
  }
  if (page.kind != job->page.kind) {
    Failed(job, "the scanner delivered another colour mode than asked for");
    *reply = Empty(500);
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    job->page = page;
  }
  std::unique_ptr<PageDelivery> delivery(new PageDelivery(*this, job));
  delivery->encoder_ = ImageEncoder::Make(job->format, page, job->area.resolution, &delivery->encoded_);
  reply->status = 200;
  return delivery;
}

void ScanService::Shutdown() {
  std::lock_guard<std::mutex> lock(mutex_);
  shutDown_ = true;
  for (const auto& job : jobs_)
    if (job->active()) {
      if (job->stream) job->stream->Cancel();
      Finished(*job, "Canceled", "AbortedBySystem");
    }
}

}  // namespace tarvell::escl
