// What a client waits for: from POST ScanJobs to the last byte of NextDocument, for a page of the
// simulated scanner delivered at a set pace, through the whole server (HTTP, the streamed page,
// the encoder). "ratio" is that time over the page's raw bytes divided by the pace: 1.0 is a
// server that adds nothing to the time the scanner takes.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "escl/HttpServer.h"
#include "escl/ScanService.h"

namespace {

using namespace tarvell::escl;

constexpr uint64_t kPace = 40000000;  // bytes a second

// One in-process server on a loopback port of its own for every benchmark.
struct Server {
  Server() {
    xmlInitParser();
    config.simulate = true;
    config.simulated.pace = kPace;
    config.simulated.silenceMs = 20;
    std::vector<std::string> problems;
    service = std::make_unique<ScanService>(config, &problems);
    http = std::make_unique<HttpServer>(*service, HttpOptions());
    ListenAddress address;
    std::string why;
    ParseListen("127.0.0.1:0", &address, &why);
    http->Listen(address, &why);
  }
  ServerConfig config;
  std::unique_ptr<ScanService> service;
  std::unique_ptr<HttpServer> http;
};

Server& TheServer() {
  static Server server;
  return server;
}

// Sends one request and reads the reply to its end; the reply's bytes, all of them.
std::string Exchange(const std::string& request) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(TheServer().http->port());
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
    char buffer[1 << 16];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) reply.append(buffer, size_t(n));
  }
  close(fd);
  return reply;
}

// A letter page at 300 dpi in `mode`, as `format`.
void PageThroughTheServer(benchmark::State& state, const char* mode, const char* format) {
  const std::string settings =
      std::string(
          "<scan:ScanSettings xmlns:scan=\"http://schemas.hp.com/imaging/escl/2011/05/03\" "
          "xmlns:pwg=\"http://www.pwg.org/schemas/2010/12/sm\"><pwg:ScanRegions><pwg:ScanRegion><pwg:Width>2550"
          "</pwg:Width><pwg:Height>3300</pwg:Height><pwg:XOffset>0</pwg:XOffset><pwg:YOffset>0</pwg:YOffset>"
          "</pwg:ScanRegion></pwg:ScanRegions><scan:ColorMode>") +
      mode + "</scan:ColorMode><pwg:DocumentFormat>" + format +
      "</pwg:DocumentFormat><scan:XResolution>300</scan:XResolution><scan:YResolution>300</scan:YResolution>"
      "</scan:ScanSettings>";
  const double pageBytes = 2550.0 * 3300 * (std::string(mode) == "RGB24" ? 3 : 1);
  size_t encoded = 0;
  double seconds = 0;
  for (auto _ : state) {
    // The scanner idle, the last job's end on the device (its silence after the page) behind it.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto start = std::chrono::steady_clock::now();
    const std::string created = Exchange(
        "POST /eSCL/ScanJobs HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
        "Content-Length: " +
        std::to_string(settings.size()) + "\r\n\r\n" + settings);
    const size_t at = created.find("/eSCL/ScanJobs/");
    if (at == std::string::npos) {
      state.SkipWithError("the job was refused");
      break;
    }
    const std::string job = created.substr(at, created.find("\r\n", at) - at);
    encoded = Exchange("GET " + job + "/NextDocument HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n").size();
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(elapsed);
    seconds += elapsed;
  }
  if (state.iterations() > 0)
    state.counters["ratio"] = seconds / double(state.iterations()) / (pageBytes / double(kPace));
  state.counters["page_MB"] = pageBytes / 1e6;
  state.counters["sent_MB"] = double(encoded) / 1e6;
}

BENCHMARK_CAPTURE(PageThroughTheServer, GrayPng, "Grayscale8", "image/png")->UseManualTime()->Iterations(3);
BENCHMARK_CAPTURE(PageThroughTheServer, ColorPng, "RGB24", "image/png")->UseManualTime()->Iterations(3);
BENCHMARK_CAPTURE(PageThroughTheServer, ColorJpeg, "RGB24", "image/jpeg")->UseManualTime()->Iterations(3);
BENCHMARK_CAPTURE(PageThroughTheServer, ColorPdf, "RGB24", "application/pdf")->UseManualTime()->Iterations(3);

}  // namespace
