#include "escl/ScanService.h"

#include <uuid/uuid.h>

#include <algorithm>
#include <cstring>

#include "host/Log.h"
#include "host/ScanRules.h"
#include "platform/system/Parse.h"

namespace tarvell::escl {
namespace {

using tarvell::host::PageFormat;
using Clock = std::chrono::steady_clock;

using tarvell::host::LogLevel;
using tarvell::host::Quoted;

// Finished jobs listed in ScannerStatus: this many at most, for this long.
constexpr size_t kJobsKept = 10;
constexpr auto kFinishedKept = std::chrono::minutes(5);
// Bytes taken from the scanner per step of a delivery.
constexpr size_t kReadBytes = 64 * 1024;

void Log(const std::string& message) { tarvell::host::Log(LogLevel::kError, message); }

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

}  // namespace

bool PlanScan(const ScanRequest& request, const ScannerDescription& scanner, ScanPlan* plan, std::string* why) {
  auto refuse = [why](std::string text) {
    *why = std::move(text);
    return false;
  };
  if (!request.inputSource.empty() && request.inputSource != "Platen")
    return refuse("input source " + Quoted(request.inputSource) + ": the scanner has only a platen");
  using Mode = tarvell::ica::ScanArea::Mode;
  tarvell::host::Request asked;
  const std::string& mode = request.colorMode;
  if (mode.empty() || mode == "RGB24")
    asked.mode = Mode::kColor;
  else if (mode == "Grayscale8")
    asked.mode = Mode::kGray;
  else if (mode == "BlackAndWhite1")
    asked.mode = Mode::kLineart;
  else
    return refuse("colour mode " + Quoted(mode) + " is not offered");

  UInt32 x = request.xResolution ? request.xResolution : request.yResolution;
  const UInt32 y = request.yResolution ? request.yResolution : x;
  if (x == 0) x = 300;
  if (y != 0 && x != y) return refuse("different X and Y resolutions");
  asked.resolution = x;

  std::string mime = request.format;
  if (mime.empty()) mime = request.intent == "Photo" || request.intent == "Preview" ? "image/jpeg" : "application/pdf";
  if (!imaging::FormatFromMime(mime, &plan->format)) return refuse("format " + Quoted(mime) + " is not offered");

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
  asked.left = double(left) * kMillimetresPer300;
  asked.top = double(top) * kMillimetresPer300;
  asked.width = double(width) * kMillimetresPer300;
  asked.height = double(height) * kMillimetresPer300;

  // What the request means is the one rule every door follows; eSCL's policy takes only the
  // listed resolutions and scales colour up from its maximum.
  tarvell::host::ScanSpace space;
  space.bedWidth = scanner.width * 2;  // 1/300 inch to 1/600
  space.bedHeight = scanner.height * 2;
  space.resolutions = scanner.resolutions;
  space.colourMaximum = scanner.colourMaximum;
  tarvell::host::ScanPlan rule;
  if (!tarvell::host::PlanScan(space, asked, tarvell::host::kEsclPolicy, &rule, why)) return false;
  plan->area = rule.scan;
  plan->resolution = rule.page.resolution;
  plan->page = rule.page;
  return true;
}

struct PageDelivery::Job {
  std::string id;  // also its UUID
  std::string owner;
  Clock::time_point created = Clock::now();
  Clock::time_point claimBy = Clock::time_point::max();  // set once the scanner has started
  Clock::time_point ended = Clock::time_point::max();
  ScanPlan plan;
  std::shared_ptr<tarvell::host::PageStream> stream;
  PageFormat page;       // as the client gets it: predicted, then as delivered
  bool fetched = false;  // NextDocument has been asked for
  JobState state = JobState::kProcessing;
  JobReason reason = JobReason::kScanning;
  UInt32 imagesCompleted = 0;

  bool active() const { return state == JobState::kProcessing; }
  std::string uri() const { return std::string(kRoot) + "/ScanJobs/" + id; }
};

// ---------------------------------------------------------------------------------------------
// PageDelivery

PageDelivery::PageDelivery(ScanService& service, std::shared_ptr<Job> job)
    : service_(service), job_(std::move(job)), format_(job_->plan.format), rows_(kReadBytes) {}

PageDelivery::~PageDelivery() {
  if (complete_) return;
  job_->stream->Cancel();
  std::lock_guard<std::mutex> lock(service_.mutex_);
  if (job_->active()) {
    Log("job " + job_->id + ": the client left before the end of the page");
    service_.Finished(*job_, JobState::kAborted, JobReason::kAbortedBySystem);
  }
}

PageDelivery::Step PageDelivery::Fail(const std::string& why) {
  service_.Failed(job_, why);
  return Step::kFailed;
}

int PageDelivery::readyFd() const { return job_->stream->readyFd(); }

PageDelivery::Step PageDelivery::Read(char* out, size_t capacity, size_t* count, bool block) {
  *count = 0;
  while (handedOut_ == encoded_.size()) {
    encoded_.clear();
    handedOut_ = 0;
    if (ended_) return Step::kEnd;
    size_t got = 0;
    switch (job_->stream->Read(rows_.data(), rows_.size(), &got, block)) {
      case tarvell::host::PageStream::Result::kData:
        if (scaler_) {
          scaled_.clear();
          scaler_->Feed(rows_.data(), got, &scaled_);
          if (!encoder_->Feed(scaled_.data(), scaled_.size())) return Fail(encoder_->why());
        } else if (!encoder_->Feed(rows_.data(), got)) {
          return Fail(encoder_->why());
        }
        break;
      case tarvell::host::PageStream::Result::kEnd:
        if (!encoder_->Finish()) return Fail(encoder_->why());
        ended_ = true;
        break;
      case tarvell::host::PageStream::Result::kWouldBlock: return Step::kWouldBlock;
      case tarvell::host::PageStream::Result::kCancelled: return Step::kFailed;
      case tarvell::host::PageStream::Result::kFailed: return Fail(job_->stream->why());
    }
  }
  const size_t n = std::min(capacity, encoded_.size() - handedOut_);
  std::memcpy(out, encoded_.data() + handedOut_, n);
  handedOut_ += n;
  *count = n;
  const bool keep = keep_ && service_.delivered_;
  if (keep) kept_.insert(kept_.end(), out, out + n);
  if (ended_ && handedOut_ == encoded_.size()) {
    // The last byte is on its way: the job is done before the client can ask what came of it.
    complete_ = true;
    std::lock_guard<std::mutex> lock(service_.mutex_);
    job_->imagesCompleted = 1;
    service_.Finished(*job_, JobState::kCompleted, JobReason::kCompletedSuccessfully);
    if (keep) service_.delivered_({job_->id, job_->page, job_->plan.resolution, format_, std::move(kept_)});
  }
  return Step::kData;
}

// ---------------------------------------------------------------------------------------------
// ScanService

ScanService::ScanService(const ServerConfig& config, std::vector<std::string>* problems)
    : unclaimedAfter_(config.unclaimedAfter), scanner_(config, problems) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string why;
    if (!DescribeScanner(&why)) Log(why + "; it is looked for again when a client asks for it");
  }
  reaper_ = std::thread([this] { Reap(); });
}

ScanService::~ScanService() {
  Shutdown();
  reaper_.join();
}

void ScanService::OnScannerOpened(std::function<void(const ScannerDescription&)> callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  opened_ = std::move(callback);
  if (opened_ && announced_) opened_(scanner_.description());
}

bool ScanService::DescribeScanner(std::string* why) {
  if (!scanner_.Describe(why)) return false;
  if (!announced_) {
    announced_ = true;
    tarvell::host::Log(LogLevel::kInfo, "serving the " + scanner_.description().makeAndModel + " at " +
                                            scanner_.description().serialNumber);
    if (opened_) opened_(scanner_.description());
  }
  return true;
}

std::shared_ptr<PageDelivery::Job> ScanService::Find(const std::string& owner, const std::string& id) {
  for (const auto& job : jobs_) {
    if (job->id != id) continue;
    if (job->owner == owner) return job;
    Log(owner + " asked for job " + job->id + ", which another client made: refused (404)");
    return nullptr;
  }
  return nullptr;
}

void ScanService::Finished(Job& job, JobState state, JobReason reason) {
  if (!job.active()) return;
  job.state = state;
  job.reason = reason;
  job.ended = Clock::now();
  wake_.notify_all();
}

void ScanService::Failed(const std::shared_ptr<Job>& job, const std::string& why) {
  // The rest of the page is dropped as the device sends it; nothing here waits for its end. A
  // scanner that has gone away ended the job with that status before the page failed.
  job->stream->Cancel();
  std::lock_guard<std::mutex> lock(mutex_);
  if (!job->active()) return;
  Log("job " + job->id + ": " + why +
      (job->stream->status() == kICADeviceNotFoundErr ? " (the scanner has gone away)" : ""));
  Finished(*job, JobState::kAborted, JobReason::kErrorsDetected);
}

void ScanService::Reap() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!shutDown_) {
    const Clock::time_point now = Clock::now();
    Clock::time_point next = Clock::time_point::max();
    for (const auto& job : jobs_) {
      if (!job->active() || job->fetched) continue;
      if (job->claimBy > now) {
        next = std::min(next, job->claimBy);
        continue;
      }
      Log("job " + job->id + ": nobody asked for its page; cancelled");
      job->stream->Cancel();
      Finished(*job, JobState::kCanceled, JobReason::kAbortedBySystem);
    }
    // A job being started is active, so it stays.
    jobs_.erase(std::remove_if(jobs_.begin(), jobs_.end(),
                               [&](const std::shared_ptr<Job>& job) {
                                 return !job->active() && now - job->ended >= kFinishedKept;
                               }),
                jobs_.end());
    for (const auto& job : jobs_)
      if (!job->active()) next = std::min(next, job->ended + kFinishedKept);
    if (next == Clock::time_point::max())
      wake_.wait(lock);
    else
      wake_.wait_until(lock, next);
  }
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
  ScannerState state = DescribeScanner(&why) ? ScannerState::kIdle : ScannerState::kDown;
  std::vector<JobStatus> jobs;
  for (auto it = jobs_.rbegin(); it != jobs_.rend(); ++it) {
    const Job& job = **it;
    if (job.active()) state = ScannerState::kProcessing;
    const auto age = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - job.created).count();
    jobs.push_back(
        {job.uri(), job.id, UInt32(age), job.imagesCompleted, job.active() ? 1u : 0u, job.state, job.reason});
  }
  return Xml(StatusDocument(state, jobs));
}

Reply ScanService::CreateJob(const std::string& owner, const std::string& base, const char* body, size_t size) {
  ScanRequest request;
  std::string why;
  if (!ReadScanSettings(body, size, &request, &why)) {
    Log("ScanSettings from " + owner + " refused: " + why);
    return Empty(size > kMaxScanSettingsBytes ? 413 : 400);
  }
  auto job = std::make_shared<Job>();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (shutDown_ || !DescribeScanner(&why)) return Empty(503);
    for (const auto& other : jobs_)
      if (other->active()) return Empty(503);
    if (!PlanScan(request, scanner_.description(), &job->plan, &why)) {
      Log("ScanSettings from " + owner + " refused: " + why);
      return Empty(409);
    }
    job->id = NewJobId();
    job->owner = owner;
    job->page.kind = tarvell::host::KindOf(job->plan.page.mode);
    job->page.width = job->plan.page.width;
    job->page.height = job->plan.page.height;
    job->page.bytesPerLine = job->plan.page.bytesPerLine;
    // Listed, the job keeps other jobs out while the scanner is being opened.
    jobs_.push_back(job);
    while (jobs_.size() > kJobsKept && !jobs_.front()->active()) jobs_.erase(jobs_.begin());
  }
  // Opening the scanner waits for the last page's end on the device; requests go on meanwhile.
  std::shared_ptr<tarvell::host::PageStream> stream;
  try {
    stream = scanner_.Start(job->plan.area, &why);
  } catch (const std::exception& e) {
    why = e.what();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!stream) {
    Log("cannot scan: " + why);
    // Gone already when it was cancelled and forgotten meanwhile.
    const auto listed = std::find(jobs_.begin(), jobs_.end(), job);
    if (listed != jobs_.end()) jobs_.erase(listed);
    return Empty(503);
  }
  job->stream = stream;
  if (!job->active()) stream->Cancel();  // cancelled while the scanner was being opened
  job->claimBy = Clock::now() + unclaimedAfter_;
  wake_.notify_all();
  Reply reply = Empty(201);
  reply.location = base + job->uri();
  return reply;
}

Reply ScanService::ImageInfo(const std::string& owner, const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<Job> job = Find(owner, id);
  if (!job) return Empty(404);
  return Xml(ImageInfoDocument(job->uri(), job->id, job->page.width, job->page.height, UInt32(job->page.bytesPerLine)));
}

Reply ScanService::CancelJob(const std::string& owner, const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<Job> job = Find(owner, id);
  if (!job) return Empty(404);
  if (job->active()) {
    if (job->stream) job->stream->Cancel();  // sets a flag: the page ends on the driver's thread
    Finished(*job, JobState::kCanceled, JobReason::kCanceledByUser);
  }
  return Empty(200);
}

std::unique_ptr<PageDelivery> ScanService::NextDocument(const std::string& owner, const std::string& id, Reply* reply) {
  *reply = Empty(404);
  std::shared_ptr<Job> job;
  PageFormat delivered;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    job = Find(owner, id);
    // One page a job: once it has been asked for, there is none left.
    if (!job || job->fetched || !job->active()) return nullptr;
    if (!job->stream) {  // still being started
      *reply = Empty(503);
      return nullptr;
    }
    job->fetched = true;
    delivered = job->page;
  }
  PageFormat page;
  if (!job->stream->WaitForFormat(&page)) {
    if (job->stream->cancelled()) return nullptr;
    Failed(job, job->stream->why().empty() ? "the scanner sent no image" : job->stream->why());
    *reply = Empty(500);
    return nullptr;
  }
  if (page.kind != delivered.kind ||
      (page.kind == PageFormat::kBitmap && job->plan.resolution != job->plan.area.resolution)) {
    Failed(job, "the scanner delivered another colour mode than asked for");
    *reply = Empty(500);
    return nullptr;
  }
  std::unique_ptr<PageDelivery> delivery(new PageDelivery(*this, job));
  if (job->plan.resolution != job->plan.area.resolution)  // scaled up to the predicted size
    delivery->scaler_ = std::make_unique<tarvell::imaging::RowScaler>(
        page.width, page.height, delivered.width, delivered.height, page.kind == PageFormat::kRGB ? 3 : 1);
  else
    delivered = page;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    job->page = delivered;
  }
  delivery->encoder_ =
      imaging::ImageEncoder::Make(job->plan.format, delivered, job->plan.resolution, &delivery->encoded_);
  reply->status = 200;
  return delivery;
}

void ScanService::Shutdown() {
  std::lock_guard<std::mutex> lock(mutex_);
  shutDown_ = true;
  wake_.notify_all();
  for (const auto& job : jobs_)
    if (job->active()) {
      if (job->stream) job->stream->Cancel();
      Finished(*job, JobState::kCanceled, JobReason::kAbortedBySystem);
    }
}

}  // namespace tarvell::escl
