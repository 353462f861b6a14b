// What a client waits for: from POST ScanJobs to the last byte of NextDocument, for a page of the
// simulated scanner delivered at a set pace, through the whole server (HTTP, the streamed page,
// the encoder). "ratio" is that time over the page's raw bytes divided by the pace: 1.0 is a
// server that adds nothing to the time the scanner takes.
//
// And what one host's idle connections cost the built server (tarvell-escl, run as a program of
// its own): 1,000 connections from one address that never finish their headers, the server's
// threads and peak memory then against its idle figures, how many it took in, and how long
// another address waits for ScannerStatus meanwhile (goals: threads <= 16, peak <= 2 x idle,
// wait <= 50 ms).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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

// ---------------------------------------------------------------------------------------------
// Idle connections

// A field of /proc/PID/status as a number ("Threads"; "VmHWM" in kB).
long ProcStatus(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, field.size() + 1, field + ":") == 0) return std::atol(line.c_str() + field.size() + 1);
  return -1;
}

// A TCP connection to 127.0.0.1:port from `source`; -1 when it cannot be made.
int ConnectFrom(const char* source, uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in from{}, to{};
  from.sin_family = to.sin_family = AF_INET;
  inet_pton(AF_INET, source, &from.sin_addr);
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  to.sin_port = htons(port);
  if (fd >= 0 && (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
                  connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)) {
    close(fd);
    return -1;
  }
  return fd;
}

// Whether the server has closed `fd`, without waiting.
bool Closed(int fd) {
  char byte;
  const ssize_t n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// The built server on a port of its own, as a program of its own.
struct ServerProcess {
  ServerProcess() {
    char folder[] = "/tmp/tarvell-escl-bench-XXXXXX";
    if (!mkdtemp(folder)) return;
    dir = folder;
    const std::string log = dir + "/server.log";
    pid = fork();
    if (pid == 0) {
      if (!freopen(log.c_str(), "w", stderr)) _exit(126);
      execl(TARVELL_ESCL_SERVER, TARVELL_ESCL_SERVER, "--simulate", "--listen", "127.0.0.1:0", "--no-announce",
            "--config", "/dev/null", nullptr);
      _exit(127);
    }
    for (int i = 0; i < 1000 && port == 0 && waitpid(pid, nullptr, WNOHANG) == 0; ++i) {
      std::ifstream in(log);
      std::stringstream said;
      said << in.rdbuf();
      const size_t at = said.str().find("listening on http://127.0.0.1:");
      if (at != std::string::npos) port = uint16_t(std::atoi(said.str().c_str() + at + 30));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~ServerProcess() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    if (!dir.empty()) std::system(("rm -rf " + dir).c_str());
  }
  // GET ScannerStatus from `source`: milliseconds to the reply's end, -1 when it failed.
  double Status(const char* source) const {
    const auto start = std::chrono::steady_clock::now();
    const int fd = ConnectFrom(source, port);
    if (fd < 0) return -1;
    const std::string request = "GET /eSCL/ScannerStatus HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    std::string reply;
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
      char buffer[4096];
      for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) reply.append(buffer, size_t(n));
    }
    close(fd);
    if (reply.compare(0, 15, "HTTP/1.1 200 OK") != 0) return -1;
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  }

  std::string dir;
  pid_t pid = -1;
  uint16_t port = 0;
};

void IdleConnectionsFromOneHost(benchmark::State& state) {
  constexpr int kIdle = 1000;
  constexpr int kProbes = 20;
  // Every connection is a descriptor here.
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = std::max<rlim_t>(files.rlim_cur, std::min<rlim_t>(files.rlim_max, kIdle + 256));
  setrlimit(RLIMIT_NOFILE, &files);
  ServerProcess server;
  if (server.port == 0) {
    state.SkipWithError("the server did not start");
    return;
  }
  server.Status("127.0.0.1");  // the scanner described, the server idle
  const long idleThreads = ProcStatus(server.pid, "Threads");
  const long idlePeak = ProcStatus(server.pid, "VmHWM");
  long threads = 0, peak = 0, accepted = 0;
  std::vector<double> waits;
  for (auto _ : state) {
    std::vector<int> idle;
    for (int i = 0; i < kIdle; ++i) {
      const int fd = ConnectFrom("127.0.0.5", server.port);
      if (fd < 0) break;
      const char part[] = "GET /eSCL/ScannerStatus HTTP/1.1\r\nHo";  // and never more
      (void)!send(fd, part, sizeof part - 1, MSG_NOSIGNAL);
      idle.push_back(fd);
    }
    for (int i = 0; i < kProbes; ++i) waits.push_back(server.Status("127.0.0.1"));
    // By the first reply every connection of the flood had been taken in or turned away.
    accepted = 0;
    for (const int fd : idle) accepted += !Closed(fd);
    threads = std::max(threads, ProcStatus(server.pid, "Threads"));
    peak = std::max(peak, ProcStatus(server.pid, "VmHWM"));
    for (const int fd : idle) close(fd);
    if (idle.size() < size_t(kIdle)) state.SkipWithError("fewer connections were made than asked for");
  }
  std::sort(waits.begin(), waits.end());
  if (!waits.empty() && waits.front() < 0) state.SkipWithError("ScannerStatus failed");
  state.counters["idle_threads"] = double(idleThreads);
  state.counters["threads"] = double(threads);
  state.counters["idle_peak_MB"] = double(idlePeak) / 1024;
  state.counters["peak_MB"] = double(peak) / 1024;
  state.counters["peak_x_idle"] = idlePeak > 0 ? double(peak) / double(idlePeak) : 0;
  state.counters["accepted"] = double(accepted);
  state.counters["wait_ms_median"] = waits.empty() ? 0 : waits[waits.size() / 2];
  state.counters["wait_ms_max"] = waits.empty() ? 0 : waits.back();
}

BENCHMARK(IdleConnectionsFromOneHost)->Iterations(3)->Unit(benchmark::kMillisecond);

BENCHMARK_CAPTURE(PageThroughTheServer, GrayPng, "Grayscale8", "image/png")->UseManualTime()->Iterations(3);
BENCHMARK_CAPTURE(PageThroughTheServer, ColorPng, "RGB24", "image/png")->UseManualTime()->Iterations(3);
BENCHMARK_CAPTURE(PageThroughTheServer, ColorJpeg, "RGB24", "image/jpeg")->UseManualTime()->Iterations(3);
BENCHMARK_CAPTURE(PageThroughTheServer, ColorPdf, "RGB24", "application/pdf")->UseManualTime()->Iterations(3);

}  // namespace
