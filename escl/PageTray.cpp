#include "escl/PageTray.h"

#include <cairo-pdf.h>
#include <cairo.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace tarvell::escl {
namespace {

// Entries kept at most, whatever their size (refused pages and pages being read weigh nothing).
constexpr size_t kMaxEntries = 1000;

Reply Text(int status, const std::string& text) {
  Reply reply;
  reply.status = status;
  reply.contentType = "text/plain; charset=utf-8";
  reply.body = text + "\n";
  return reply;
}

struct PngSource {
  const std::vector<UInt8>* bytes;
  size_t at = 0;
  static cairo_status_t Read(void* closure, unsigned char* data, unsigned int length) {
    auto* self = static_cast<PngSource*>(closure);
    if (self->bytes->size() - self->at < length) return CAIRO_STATUS_READ_ERROR;
    std::memcpy(data, self->bytes->data() + self->at, length);
    self->at += length;
    return CAIRO_STATUS_SUCCESS;
  }
};

cairo_status_t Append(void* closure, const unsigned char* data, unsigned int length) {
  try {
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  } catch (const std::bad_alloc&) {
    return CAIRO_STATUS_NO_MEMORY;
  }
  return CAIRO_STATUS_SUCCESS;
}

// The job ids in `list`; false for anything else.
bool SplitIds(const std::string& list, size_t most, std::vector<std::string>* ids) {
  size_t start = 0;
  while (start <= list.size()) {
    const size_t comma = std::min(list.find(',', start), list.size());
    const std::string id = list.substr(start, comma - start);
    if (id.empty() || id.size() > 64 || id.find_first_not_of("0123456789abcdef-") != std::string::npos) return false;
    ids->push_back(id);
    if (ids->size() > most) return false;
    start = comma + 1;
  }
  return !ids->empty();
}

}  // namespace

void PageTray::Expect(const std::string& jobId, const std::string& client) {
  std::lock_guard<std::mutex> lock(mutex_);
  Expire();
  Page entry;
  entry.jobId = jobId;
  entry.client = client;
  pages_.push_back(std::move(entry));
}

void PageTray::Keep(DeliveredPage page) {
  std::lock_guard<std::mutex> lock(mutex_);
  Expire();
  auto it = std::find_if(pages_.begin(), pages_.end(), [&](const Page& p) { return p.jobId == page.jobId; });
  if (it == pages_.end() || it->page || it->refused) return;  // nobody asked to keep it
  const size_t size = page.bytes.size();
  it->kept = Clock::now();
  if (page.format != ImageFormat::kPng || Bytes(&it->client) + size > limits_.perClient ||
      Bytes(nullptr) + size > limits_.total) {
    it->refused = true;
    return;
  }
  it->page = std::make_shared<const DeliveredPage>(std::move(page));
}

void PageTray::Expire() {
  const Clock::time_point now = Clock::now();
  pages_.erase(std::remove_if(pages_.begin(), pages_.end(), [&](const Page& p) { return now - p.kept > limits_.keep; }),
               pages_.end());
  while (pages_.size() > kMaxEntries) pages_.pop_front();
}

size_t PageTray::Bytes(const std::string* client) const {
  size_t sum = 0;
  for (const Page& p : pages_)
    if (p.page && (!client || p.client == *client)) sum += p.page->bytes.size();
  return sum;
}

Reply PageTray::Pdf(const std::string& client, const std::string& ids) {
  std::vector<std::string> wanted;
  if (!SplitIds(ids, limits_.pagesPerPdf, &wanted))
    return Text(400, "ids: give 1 to " + std::to_string(limits_.pagesPerPdf) + " page ids, separated by commas");
  // The pages are shared with the tray, so that the PDF is made without holding it.
  std::vector<std::shared_ptr<const DeliveredPage>> pages;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Expire();
    for (const std::string& id : wanted) {
      auto it = std::find_if(pages_.begin(), pages_.end(),
                             [&](const Page& p) { return p.jobId == id && p.client == client; });
      if (it != pages_.end() && it->refused)
        return Text(507, "page " + id + " was not kept: the server keeps no more than " +
                             std::to_string(limits_.perClient >> 20) + " MB of pages for each client");
      if (it == pages_.end() || !it->page)
        return Text(404, "page " + id + " is not kept (pages are kept for " +
                             std::to_string(limits_.keep.count() / 60) + " minutes)");
      pages.push_back(it->page);
    }
  }
  std::string pdf;
  cairo_surface_t* surface = cairo_pdf_surface_create_for_stream(&Append, &pdf, 1, 1);
  cairo_status_t status = cairo_surface_status(surface);
  for (const auto& shared : pages) {
    if (status != CAIRO_STATUS_SUCCESS) break;
    const DeliveredPage& page = *shared;
    PngSource source{&page.bytes};
    cairo_surface_t* image = cairo_image_surface_create_from_png_stream(&PngSource::Read, &source);
    status = cairo_surface_status(image);
    if (status == CAIRO_STATUS_SUCCESS) {
      // Each page at its true size: pixels at the scan's resolution, in points.
      const double scale = 72.0 / page.dpi;
      cairo_pdf_surface_set_size(surface, page.frame.width * scale, page.frame.height * scale);
      cairo_t* cr = cairo_create(surface);
      cairo_scale(cr, scale, scale);
      cairo_set_source_surface(cr, image, 0, 0);
      cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
      cairo_paint(cr);
      cairo_show_page(cr);
      status = cairo_status(cr);
      cairo_destroy(cr);
    }
    cairo_surface_destroy(image);
  }
  cairo_surface_finish(surface);
  if (status == CAIRO_STATUS_SUCCESS) status = cairo_surface_status(surface);
  cairo_surface_destroy(surface);
  if (status != CAIRO_STATUS_SUCCESS)
    return Text(500, std::string("the PDF cannot be made: ") + cairo_status_to_string(status));
  Reply reply;
  reply.contentType = "application/pdf";
  reply.body = std::move(pdf);
  return reply;
}

}  // namespace tarvell::escl
