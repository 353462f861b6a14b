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

// The kept PNG as an RGB24 surface (grey and black-and-white too); an error surface when it is not
// the page's frame.
cairo_surface_t* Decode(const DeliveredPage& page) {
  PngSource source{&page.bytes};
  cairo_surface_t* image = cairo_image_surface_create_from_png_stream(&PngSource::Read, &source);
  if (cairo_surface_status(image) == CAIRO_STATUS_SUCCESS &&
      (cairo_image_surface_get_format(image) != CAIRO_FORMAT_RGB24 ||
       UInt32(cairo_image_surface_get_width(image)) != page.frame.width ||
       UInt32(cairo_image_surface_get_height(image)) != page.frame.height)) {
    cairo_surface_destroy(image);
    return cairo_image_surface_create(CAIRO_FORMAT_INVALID, 0, 0);
  }
  return image;
}

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
  if (page.format != imaging::ImageFormat::kPng || Bytes(&it->client) + size > limits_.perClient ||
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

Reply PageTray::Export(const std::string& client, const std::string& ids, imaging::ImageFormat format) {
  const size_t most = format == imaging::ImageFormat::kPdf ? limits_.pagesPerPdf : 1;
  std::vector<std::string> wanted;
  if (format == imaging::ImageFormat::kPng || !SplitIds(ids, most, &wanted))
    return Text(400, "ids: give 1 to " + std::to_string(most) + " page ids, separated by commas");
  // The pages are shared with the tray, so that the file is made without holding it.
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
  Reply reply;
  reply.contentType = imaging::MimeType(format);
  std::lock_guard<std::mutex> one(exporting_);
  const std::string why =
      format == imaging::ImageFormat::kPdf ? Pdf(pages, &reply.body) : Jpeg(*pages.front(), &reply.body);
  return why.empty() ? reply : Text(500, "the file cannot be made: " + why);
}

std::string PageTray::Pdf(const std::vector<std::shared_ptr<const DeliveredPage>>& pages, std::string* out) {
  cairo_surface_t* surface = cairo_pdf_surface_create_for_stream(&Append, out, 1, 1);
  cairo_status_t status = cairo_surface_status(surface);
  for (const auto& shared : pages) {
    if (status != CAIRO_STATUS_SUCCESS) break;
    const DeliveredPage& page = *shared;
    cairo_surface_t* image = Decode(page);
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
  return status == CAIRO_STATUS_SUCCESS ? "" : cairo_status_to_string(status);
}

std::string PageTray::Jpeg(const DeliveredPage& page, std::string* out) {
  cairo_surface_t* image = Decode(page);
  std::string why;
  if (cairo_surface_status(image) != CAIRO_STATUS_SUCCESS) {
    why = cairo_status_to_string(cairo_surface_status(image));
  } else {
    // The rows as the scanner delivered them, into the encoder of the server's own JPEG pages.
    std::vector<UInt8> jpeg;
    std::unique_ptr<imaging::ImageEncoder> encoder =
        imaging::ImageEncoder::Make(imaging::ImageFormat::kJpeg, page.frame, page.dpi, &jpeg);
    std::vector<UInt8> row(page.frame.bytesPerLine);
    for (UInt32 y = 0; y < page.frame.height && why.empty(); ++y) {
      const auto* pixels = reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(image) +
                                                             size_t(cairo_image_surface_get_stride(image)) * y);
      std::fill(row.begin(), row.end(), 0);
      for (UInt32 x = 0; x < page.frame.width; ++x) {
        const UInt8 red = UInt8(pixels[x] >> 16), green = UInt8(pixels[x] >> 8), blue = UInt8(pixels[x]);
        switch (page.frame.kind) {
          case tarvell::host::PageFormat::kRGB: row[3 * x] = red, row[3 * x + 1] = green, row[3 * x + 2] = blue; break;
          case tarvell::host::PageFormat::kGray: row[x] = red; break;
          default: row[x / 8] |= UInt8((red < 128 ? 1 : 0) << (7 - x % 8));  // 1 for black
        }
      }
      if (!encoder->Feed(row.data(), row.size())) why = encoder->why();
    }
    if (why.empty() && !encoder->Finish()) why = encoder->why();
    out->assign(jpeg.begin(), jpeg.end());
  }
  cairo_surface_destroy(image);
  return why;
}

}  // namespace tarvell::escl
