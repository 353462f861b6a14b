// The pages each client has scanned through the web page, kept on the server for a while so that
// it can ask for several of them as one PDF. Clients are told apart by their address; a page is
// named by the job that scanned it. Pages are kept as the PNG the client was sent, within a time
// and a size per client and in all.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "escl/ScanService.h"

namespace tarvell::escl {

class PageTray {
 public:
  struct Limits {
    std::chrono::seconds keep{30 * 60};
    size_t perClient = size_t(64) << 20;
    size_t total = size_t(256) << 20;
    size_t pagesPerPdf = 100;
  };
  explicit PageTray(Limits limits) : limits_(limits) {}
  PageTray() : PageTray(Limits{}) {}

  // `client` reads the page of job `jobId` and wants it kept.
  void Expect(const std::string& jobId, const std::string& client);
  // Keeps a delivered page that its reader asked to keep; a page over the limits is not kept,
  // and a PDF asking for it is refused with 507.
  void Keep(DeliveredPage page);
  // `client`'s pages named in `ids` (job ids, comma-separated) as one PDF, in that order, each
  // page the size of its scan; or one page as a JPEG like the server's own JPEG pages. 400 for a
  // list that is not one, 404 for a page not (or no longer) kept, 507 for one that was over the
  // limits; a plain-text body says which.
  Reply Export(const std::string& client, const std::string& ids, imaging::ImageFormat format);

 private:
  using Clock = std::chrono::steady_clock;
  struct Page {
    std::string jobId;
    std::string client;
    Clock::time_point kept = Clock::now();
    std::shared_ptr<const DeliveredPage> page;  // none while expected, or when refused
    bool refused = false;
  };
  // The file into *out; "" or why it cannot be made.
  static std::string Pdf(const std::vector<std::shared_ptr<const DeliveredPage>>& pages, std::string* out);
  static std::string Jpeg(const DeliveredPage& page, std::string* out);
  // With mutex_ held: drops what has been kept too long.
  void Expire();
  size_t Bytes(const std::string* client) const;

  const Limits limits_;
  std::mutex mutex_;
  // One file is made at a time: a decoded page can be large.
  std::mutex exporting_;
  std::deque<Page> pages_;  // the oldest first
};

}  // namespace tarvell::escl
