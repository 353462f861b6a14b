#include "escl/WebPage.h"

#include <cstring>

namespace tarvell::escl {
namespace {

const WebFile* Find(const std::string& path) {
  const std::string name = path == "/" ? "index.html" : path.substr(1);
  for (size_t i = 0; i < kWebFileCount; ++i)
    if (path[0] == '/' && name == kWebFiles[i].name) return &kWebFiles[i];
  return nullptr;
}

const char* TypeOf(const std::string& name) {
  static const struct {
    const char* extension;
    const char* type;
  } kTypes[] = {{".html", "text/html; charset=utf-8"},
                {".css", "text/css; charset=utf-8"},
                {".js", "text/javascript; charset=utf-8"},
                {".json", "application/json"},
                {".svg", "image/svg+xml"}};
  for (const auto& known : kTypes) {
    const size_t length = std::strlen(known.extension);
    if (name.size() > length && name.compare(name.size() - length, length, known.extension) == 0) return known.type;
  }
  return "application/octet-stream";
}

}  // namespace

bool WebPage::Handles(const std::string& path) {
  return path == kPagesPdfPath || path == kPagesJpegPath || (!path.empty() && Find(path));
}

Reply WebPage::Serve(const std::string& method, const std::string& path, const std::string& client,
                     const std::string& ids) {
  Reply reply;
  if (method != "GET" && method != "HEAD") {
    reply.status = 405;
  } else if (path == kPagesPdfPath || path == kPagesJpegPath) {
    reply = tray_.Export(client, ids, path == kPagesPdfPath ? imaging::ImageFormat::kPdf : imaging::ImageFormat::kJpeg);
  } else if (const WebFile* file = Find(path)) {
    reply.contentType = TypeOf(file->name);
    reply.body.assign(reinterpret_cast<const char*>(file->data), file->size);
    reply.headers.emplace_back("Cache-Control", "no-cache");
  }
  // The page's own scripts, styles and images only, in no frame; the scans it shows are blobs.
  reply.headers.emplace_back("Content-Security-Policy",
                             "default-src 'self'; img-src 'self' blob: data:; frame-ancestors 'none'; base-uri 'none'; "
                             "form-action 'self'");
  reply.headers.emplace_back("X-Frame-Options", "DENY");
  reply.headers.emplace_back("X-Content-Type-Options", "nosniff");
  reply.headers.emplace_back("Referrer-Policy", "no-referrer");
  return reply;
}

}  // namespace tarvell::escl
