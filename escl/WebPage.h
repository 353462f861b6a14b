// The scanning page: the files of escl/web, built into the program, served at "/" with headers
// that let a browser load nothing but them and frame them nowhere; and the one resource the page
// needs beyond eSCL: pages the client has scanned (kept in a PageTray) as one PDF, or one as JPEG.
#pragma once

#include <cstddef>
#include <string>

#include "escl/PageTray.h"
#include "escl/ScanService.h"

namespace tarvell::escl {

constexpr char kPagesPdfPath[] = "/pages.pdf";
constexpr char kPagesJpegPath[] = "/pages.jpeg";

// A file of escl/web as built into the program (WebFiles.cpp, generated).
struct WebFile {
  const char* name;  // relative to escl/web
  const unsigned char* data;
  size_t size;
};
extern const WebFile kWebFiles[];
extern const size_t kWebFileCount;

class WebPage {
 public:
  // True for the paths served here: "/", the page's files, kPagesPdfPath and kPagesJpegPath.
  static bool Handles(const std::string& path);
  // The reply to `method` on `path` from the address `client`; `ids` is the query's ids argument.
  Reply Serve(const std::string& method, const std::string& path, const std::string& client, const std::string& ids);
  PageTray& tray() { return tray_; }

 private:
  PageTray tray_;
};

}  // namespace tarvell::escl
