// The built tarvell-escl on a loopback address and a port of its own, serving the simulated
// scanner in real time, driven by Debian's eSCL clients (sane-airscan and libsane's escl backend
// under scanimage) and by plain HTTP requests. Images are compared with scanner-module's scan of
// the same settings.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <png.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "tests/support/Program.h"

namespace {

using tarvell::testing::ProgramRun;
using tarvell::testing::ReadFile;

// The page area the comparisons use: 10 mm from the left, 20 mm from the top, 2 x 1 inch.
const std::vector<std::string> kArea = {"-l", "10", "-t", "20", "-x", "50.8", "-y", "25.4"};
// The same size at the glass's corner, for a client that crops what it gets by itself.
const std::vector<std::string> kCorner = {"-l", "0", "-t", "0", "-x", "50.8", "-y", "25.4"};

struct Image {
  unsigned width = 0, height = 0, channels = 0;
  std::vector<uint8_t> samples;
};

Image ReadTiff(const std::string& path) {
  Image image;
  TIFF* tif = TIFFOpen(path.c_str(), "r");
  if (!tif) return image;
  uint16_t spp = 1, photometric = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &image.width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &image.height);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
  image.channels = spp;
  std::vector<uint8_t> row(size_t(TIFFScanlineSize(tif)));
  for (unsigned y = 0; y < image.height && TIFFReadScanline(tif, row.data(), y, 0) >= 0; ++y)
    for (unsigned x = 0; x < image.width * spp; ++x)
      image.samples.push_back(photometric == PHOTOMETRIC_MINISWHITE ? uint8_t(255 - row[x]) : row[x]);
  TIFFClose(tif);
  return image;
}

// A binary grey or colour anymap (scanimage's and pdftoppm's output).
Image ReadPnm(const std::string& data) {
  Image image;
  char magic[3] = {};
  unsigned maximum = 0;
  int offset = 0;
  std::string header = data.substr(0, 64);
  const size_t comment = header.find("\n#");
  if (comment != std::string::npos) header.erase(comment + 1, header.find('\n', comment + 1) - comment);
  if (std::sscanf(header.c_str(), "%2s %u %u %u%n", magic, &image.width, &image.height, &maximum, &offset) != 4)
    return image;
  image.channels = magic[1] == '6' ? 3 : 1;
  const size_t start = data.size() - size_t(image.width) * image.height * image.channels;
  image.samples.assign(data.begin() + long(start), data.end());
  return image;
}

Image ReadPng(const std::string& data) {
  Image image;
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&png, data.data(), data.size())) return image;
  png.format = (png.format & PNG_FORMAT_FLAG_COLOR) ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
  image.samples.resize(PNG_IMAGE_SIZE(png));
  if (!png_image_finish_read(&png, nullptr, image.samples.data(), 0, nullptr)) return Image();
  image.width = png.width;
  image.height = png.height;
  image.channels = PNG_IMAGE_PIXEL_CHANNELS(png.format);
  return image;
}

Image ReadJpeg(const std::string& data) {
  Image image;
  jpeg_decompress_struct jpeg{};
  jpeg_error_mgr errors{};
  jpeg.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&jpeg);
  jpeg_mem_src(&jpeg, reinterpret_cast<const unsigned char*>(data.data()), data.size());
  if (jpeg_read_header(&jpeg, TRUE) == JPEG_HEADER_OK && jpeg_start_decompress(&jpeg)) {
    image.width = jpeg.output_width;
    image.height = jpeg.output_height;
    image.channels = unsigned(jpeg.output_components);
    image.samples.resize(size_t(image.width) * image.height * image.channels);
    while (jpeg.output_scanline < jpeg.output_height) {
      JSAMPROW row = image.samples.data() + size_t(jpeg.output_scanline) * image.width * image.channels;
      jpeg_read_scanlines(&jpeg, &row, 1);
    }
    jpeg_finish_decompress(&jpeg);
  }
  jpeg_destroy_decompress(&jpeg);
  return image;
}

// The largest difference of one sample between two images of the same size; 256 when their
// sizes differ.
int Difference(const Image& a, const Image& b) {
  if (a.width != b.width || a.height != b.height || a.channels != b.channels || a.samples.size() != b.samples.size() ||
      a.samples.empty())
    return 256;
  int worst = 0;
  for (size_t i = 0; i < a.samples.size(); ++i) worst = std::max(worst, std::abs(a.samples[i] - b.samples[i]));
  return worst;
}

struct Reply {
  int status = 0;
  std::string head;       // the status line and headers
  std::string body;       // de-chunked
  bool complete = false;  // the body ended as its framing says
};

// An HTTP/1.1 exchange over a socket of its own, from `source` on the loopback network.
class Connection {
 public:
  // `receiveBuffer`: the socket's receive buffer, for a client that reads slowly (0: the system's).
  explicit Connection(uint16_t port, const char* source = "127.0.0.1", int receiveBuffer = 0) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    to.sin_port = htons(port);
    // The source port is chosen at connect, so ports in TIME_WAIT towards other servers are reused.
    const int one = 1;
    setsockopt(fd_, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~Connection() { Close(); }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  bool Open() const { return fd_ >= 0; }
  // Sends `bytes` as they are.
  bool SendRaw(const std::string& bytes) {
    return fd_ >= 0 && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
  }
  // Whether the server has closed the connection (reads that find nothing yet do not wait).
  bool ClosedByServer() {
    char byte;
    const ssize_t n = recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
  }
  // Reads up to `count` bytes of those that have come, without waiting for more.
  size_t ReadSome(size_t count) {
    char bytes[64];
    const ssize_t n = recv(fd_, bytes, std::min(count, sizeof bytes), MSG_DONTWAIT);
    if (n > 0) raw_.append(bytes, size_t(n));
    return n > 0 ? size_t(n) : 0;
  }
  bool Send(const std::string& method, const std::string& path, const std::string& body = "") {
    const std::string request =
        method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
        (body.empty() && method != "POST" ? "" : "Content-Length: " + std::to_string(body.size()) + "\r\n") + "\r\n" +
        body;
    return fd_ >= 0 && ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size());
  }
  // Reads until `bytes` have come after the headers, or to the end when 0.
  Reply Receive(size_t bytes = 0) {
    char buffer[65536];
    for (ssize_t n; (bytes == 0 || raw_.size() < headEnd() + bytes) && (n = read(fd_, buffer, sizeof buffer)) > 0;)
      raw_.append(buffer, size_t(n));
    Reply reply;
    std::sscanf(raw_.c_str(), "HTTP/1.1 %d", &reply.status);
    reply.head = raw_.substr(0, headEnd());
    std::string rest = raw_.substr(std::min(raw_.size(), headEnd()));
    if (reply.head.find("Transfer-Encoding: chunked") == std::string::npos) {
      reply.body = rest;
      reply.complete = true;
      return reply;
    }
    for (size_t at = 0, size = 0; at < rest.size() && std::sscanf(rest.c_str() + at, "%zx", &size) == 1;) {
      const size_t data = rest.find("\r\n", at) + 2;
      if (size == 0) reply.complete = true;
      if (size == 0 || data + size > rest.size()) break;
      reply.body.append(rest, data, size);
      at = data + size + 2;
    }
    return reply;
  }

 private:
  size_t headEnd() const {
    const size_t end = raw_.find("\r\n\r\n");
    return end == std::string::npos ? std::string::npos - (1u << 30) : end + 4;
  }
  int fd_ = -1;
  std::string raw_;
};

std::string Settings(const std::string& mode, int dpi, const std::string& format, int width = 600, int height = 300) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><scan:ScanSettings xmlns:pwg=\"http://www.pwg.org/schemas/2010/"
         "12/sm\" xmlns:scan=\"http://schemas.hp.com/imaging/escl/2011/05/03\"><pwg:Version>2.0</pwg:Version>"
         "<pwg:ScanRegions><pwg:ScanRegion><pwg:ContentRegionUnits>escl:ThreeHundredthsOfInches</"
         "pwg:ContentRegionUnits>"
         "<pwg:XOffset>118</pwg:XOffset><pwg:YOffset>236</pwg:YOffset><pwg:Width>" +
         std::to_string(width) + "</pwg:Width><pwg:Height>" + std::to_string(height) +
         "</pwg:Height></pwg:ScanRegion></pwg:ScanRegions>"
         "<pwg:InputSource>Platen</pwg:InputSource><scan:ColorMode>" +
         mode + "</scan:ColorMode><pwg:DocumentFormat>" + format + "</pwg:DocumentFormat><scan:XResolution>" +
         std::to_string(dpi) +
         "</scan:XResolution>"
         "<scan:YResolution>" +
         std::to_string(dpi) + "</scan:YResolution></scan:ScanSettings>";
}

class EsclServer : public ::testing::Test {
 protected:
  void SetUp() override {
    temp_.Write("tarvell-escl.conf", config_);
    const std::string log = temp_ / "server.log";
    pid_ = fork();
    if (pid_ == 0) {
      freopen(log.c_str(), "w", stderr);
      // At 6 MB/s the large page below takes five seconds: a client's request in the middle of
      // it lands there however slow this machine is; the small pages take milliseconds.
      execl(TARVELL_ESCL_SERVER, TARVELL_ESCL_SERVER, "--simulate", "--sim-fault", "pace=6M,silence=20", "--listen",
            "127.0.0.1:0", "--allow", "127.0.0.0/29", "--no-announce", "--config",
            (temp_ / "tarvell-escl.conf").c_str(), nullptr);
      _exit(127);
    }
    // It says where it listens once it does.
    const std::string said = Await("listening on http://127.0.0.1:");
    const size_t at = said.find("listening on http://127.0.0.1:");
    if (at != std::string::npos) port_ = uint16_t(std::atoi(said.c_str() + at + 30));
    ASSERT_NE(port_, 0) << said;
    base_ = "http://127.0.0.1:" + std::to_string(port_) + "/eSCL";
  }
  void TearDown() override {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = -1;
    waitpid(pid_, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "stopped with status " << status << ":\n"
                                                               << ReadFile(temp_ / "server.log");
  }

  // The server's log once it holds `text` (or it has ended, or half a minute has passed).
  std::string Await(const std::string& text) {
    std::string said;
    for (int i = 0; i < 3000 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i) {
      said = ReadFile(temp_ / "server.log");
      if (said.find(text) != std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return said;
  }
  // The server's peak memory so far, in kB.
  long PeakKilobytes() {
    const std::string status = ReadFile("/proc/" + std::to_string(pid_) + "/status");
    const size_t at = status.find("VmHWM:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
  }
  std::string ServerLog() const { return ReadFile(temp_ / "server.log"); }
  // Waits, a bounded while, for the server to log `text`.
  bool Logged(const std::string& text) const {
    for (int i = 0; i < 1200; ++i) {
      if (ServerLog().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  // The state of the most recent job, from ScannerStatus ("" for none).
  std::string LastJobState() {
    const std::string status = Request("GET", "/eSCL/ScannerStatus").body;
    const size_t at = status.find("<pwg:JobState>");
    return at == std::string::npos ? "" : status.substr(at + 14, status.find('<', at + 14) - at - 14);
  }
  // Sends `head` (request line and headers, without the blank line that ends them) and `body`, on a
  // connection closed after the reply.
  Reply Raw(const std::string& head, const std::string& body = "", const char* source = "127.0.0.1") {
    Connection connection(port_, source);
    connection.SendRaw(head + "\r\nConnection: close\r\n\r\n" + body);
    return connection.Receive();
  }

  Reply Request(const std::string& method, const std::string& path, const std::string& body = "",
                const char* source = "127.0.0.1") {
    Connection connection(port_, source);
    connection.Send(method, path, body);
    return connection.Receive();
  }
  // POSTs `settings`; the job's path, or "" when no job was made.
  std::string Post(const std::string& settings) {
    const Reply reply = Request("POST", "/eSCL/ScanJobs", settings);
    const size_t at = reply.head.find("\r\nLocation: http://127.0.0.1/eSCL/ScanJobs/");
    EXPECT_EQ(reply.status, 201) << reply.head;
    return reply.status == 201 && at != std::string::npos
               ? reply.head.substr(at + 28, reply.head.find("\r\n", at + 2) - at - 28)
               : "";
  }

  // scanimage with a private configuration holding one backend.
  ProgramRun Scanimage(const std::string& backend, const std::string& config, std::vector<std::string> args) {
    const std::string dir = temp_ / backend;
    mkdir(dir.c_str(), 0700);
    temp_.Write(backend + "/dll.conf", backend + "\n");
    temp_.Write(backend + "/" + backend + ".conf", config);
    args.insert(args.begin(), TARVELL_SCANIMAGE);
    tarvell::testing::ProgramOptions options;
    options.env = {"SANE_CONFIG_DIR=" + dir};
    options.dir = temp_.path();
    return tarvell::testing::RunProgram(args, options);
  }
  ProgramRun Airscan(std::vector<std::string> args) {
    return Scanimage("airscan",
                     "[devices]\n\"K310\" = " + base_ + ", eSCL\n[options]\ndiscovery = disable\nws-discovery = off\n",
                     std::move(args));
  }
  // scanner-module's scan of `area` in `mode` at `dpi`.
  Image LocalScan(const std::string& mode, int dpi, const std::vector<std::string>& area = kArea) {
    std::vector<std::string> args = {
        TARVELL_SCANNER_MODULE, "scan", "--simulate",        "--mode", mode, "--resolution",
        std::to_string(dpi),    "-o",   temp_ / "local.tiff"};
    args.insert(args.end(), area.begin(), area.end());
    const ProgramRun run = tarvell::testing::RunProgram(args);
    EXPECT_EQ(run.status, 0) << run.err;
    return ReadTiff(temp_ / "local.tiff");
  }

  std::string config_;  // the configuration file's text
  tarvell::testing::TempDir temp_{"tarvell-escl"};
  pid_t pid_ = -1;
  uint16_t port_ = 0;
  std::string base_;
};

TEST_F(EsclServer, AirscanListsItAndScansGrayAndColorAsALocalScanDoes) {
  const ProgramRun list = Airscan({"-L"});
  EXPECT_NE(list.out.find("device `airscan:e0:K310' is a eSCL K310 ip=127.0.0.1"), std::string::npos) << list.out;
  for (const char* mode : {"Gray", "Color"}) {
    std::vector<std::string> args = {"-d",  "airscan:e0:K310", "--mode", mode,         "--resolution",
                                     "150", "--format=pnm",    "-o",     "airscan.pnm"};
    args.insert(args.end(), kArea.begin(), kArea.end());
    const ProgramRun scan = Airscan(args);
    ASSERT_EQ(scan.status, 0) << scan.err;
    EXPECT_EQ(Difference(ReadPnm(ReadFile(temp_ / "airscan.pnm")), LocalScan(mode, 150)), 0) << mode;
  }
}

TEST_F(EsclServer, LibsaneEsclScansColorThroughPdf) {
  std::vector<std::string> args = {"-d",           "escl:http://127.0.0.1:" + std::to_string(port_),
                                   "--mode",       "Color",
                                   "--resolution", "150",
                                   "--format=pnm", "-o",
                                   "escl.pnm"};
  args.insert(args.end(), kCorner.begin(), kCorner.end());
  const ProgramRun scan = Scanimage("escl", "", args);
  ASSERT_EQ(scan.status, 0) << scan.err;
  EXPECT_EQ(Difference(ReadPnm(ReadFile(temp_ / "escl.pnm")), LocalScan("Color", 150, kCorner)), 0);
}

TEST_F(EsclServer, EachFormatDecodesToTheScannedPixels) {
  const Image local = LocalScan("Gray", 150);
  const struct {
    const char* format;
    int tolerance;  // JPEG is lossy: at quality 90 a sample may move this far
  } formats[] = {{"image/png", 0}, {"image/jpeg", 12}, {"application/pdf", 0}};
  for (const auto& f : formats) {
    const std::string job = Post(Settings("Grayscale8", 150, f.format));
    const Reply page = Request("GET", job + "/NextDocument");
    ASSERT_EQ(page.status, 200) << f.format;
    EXPECT_NE(page.head.find(std::string("Content-Type: ") + f.format), std::string::npos) << page.head;
    Image image;
    if (f.format == std::string("image/png")) image = ReadPng(page.body);
    if (f.format == std::string("image/jpeg")) image = ReadJpeg(page.body);
    if (f.format == std::string("application/pdf")) {
      temp_.Write("page.pdf", page.body);
      const ProgramRun info = tarvell::testing::RunProgram({"pdfinfo", temp_ / "page.pdf"});
      EXPECT_NE(info.out.find("Page size:       144 x 72 pts"), std::string::npos) << info.out;
      tarvell::testing::RunProgram({"pdftoppm", "-r", "150", "-gray", temp_ / "page.pdf", temp_ / "page"});
      EXPECT_EQ(ReadPnm(ReadFile(temp_ / "page-1.pgm")).width, 300u) << "pdftoppm";
      // poppler's cairo renderer, as PDF clients use it, draws the pixels as they are (pdftoppm's
      // resamples the page's edges).
      tarvell::testing::RunProgram(
          {"pdftocairo", "-png", "-gray", "-r", "150", "-singlefile", temp_ / "page.pdf", temp_ / "page"});
      image = ReadPng(ReadFile(temp_ / "page.png"));
    }
    EXPECT_LE(Difference(image, local), f.tolerance) << f.format;
    EXPECT_EQ(Request("GET", job + "/NextDocument").status, 404) << "one page a job";
  }
}

TEST_F(EsclServer, RefusedRequestsGetTheirStatusAndStartNothing) {
  const std::string png = Settings("RGB24", 150, "image/png");
  std::string feeder = Settings("Grayscale8", 150, "image/png"), offGlass = feeder;
  feeder.replace(feeder.find(">Platen<"), 8, ">Feeder<");
  offGlass.replace(offGlass.find(">118<"), 5, ">2540<");
  const struct {
    const char* what;
    std::string method, path, body;
    const char* source;
    int status;
  } cases[] = {
      {"malformed", "POST", "/eSCL/ScanJobs", "<scan:ScanSettings><pwg:Version>", "127.0.0.1", 400},
      {"oversized", "POST", "/eSCL/ScanJobs", std::string(70000, ' ') + png, "127.0.0.1", 413},
      {"a resolution not offered", "POST", "/eSCL/ScanJobs", Settings("RGB24", 1200, "image/png"), "127.0.0.1", 409},
      {"TIFF", "POST", "/eSCL/ScanJobs", Settings("Grayscale8", 150, "image/tiff"), "127.0.0.1", 409},
      {"off the glass", "POST", "/eSCL/ScanJobs", offGlass, "127.0.0.1", 409},
      {"feeder", "POST", "/eSCL/ScanJobs", feeder, "127.0.0.1", 409},
      // Turned away when it connects, before a byte is read: no reply at all.
      {"outside --allow", "POST", "/eSCL/ScanJobs", png, "127.0.0.9", 0},
      {"capabilities outside --allow", "GET", "/eSCL/ScannerCapabilities", "", "127.0.0.9", 0},
      {"a method the resource has not", "PUT", "/eSCL/ScannerStatus", "", "127.0.0.1", 405},
      {"unknown job's page", "GET", "/eSCL/ScanJobs/none/NextDocument", "", "127.0.0.1", 404},
      {"unknown job's info", "GET", "/eSCL/ScanJobs/none/ScanImageInfo", "", "127.0.0.1", 404},
      {"unknown job cancelled", "DELETE", "/eSCL/ScanJobs/none", "", "127.0.0.1", 404},
      {"a resource that is not there", "GET", "/eSCL/Nothing", "", "127.0.0.1", 404},
  };
  for (const auto& c : cases) {
    const Reply reply = Request(c.method, c.path, c.body, c.source);
    EXPECT_EQ(reply.status, c.status) << c.what;
    EXPECT_TRUE(reply.body.empty()) << c.what;
  }
  const Reply status = Request("GET", "/eSCL/ScannerStatus");
  EXPECT_NE(status.body.find("<pwg:State>Idle</pwg:State>"), std::string::npos) << status.body;
  EXPECT_EQ(status.body.find("JobInfo"), std::string::npos) << "a job was made:\n" << status.body;
  // One line each, saying who, what and why.
  const std::string log = ServerLog();
  EXPECT_NE(log.find("127.0.0.9: connection refused: not an address the allow rules let in"), std::string::npos) << log;
  EXPECT_NE(log.find("127.0.0.1 PUT /eSCL/ScannerStatus: 405"), std::string::npos) << log;
  EXPECT_NE(log.find("127.0.0.1 GET /eSCL/Nothing: 404, no such resource"), std::string::npos) << log;
}

TEST_F(EsclServer, OneJobAtATimeAndIdleOnceItsPageIsServed) {
  const std::string job = Post(Settings("Grayscale8", 150, "image/png"));
  ASSERT_FALSE(job.empty());
  EXPECT_EQ(Request("POST", "/eSCL/ScanJobs", Settings("RGB24", 75, "image/png")).status, 503);
  EXPECT_NE(Request("GET", "/eSCL/ScannerStatus").body.find("<pwg:State>Processing</pwg:State>"), std::string::npos);
  const Reply info = Request("GET", job + "/ScanImageInfo");
  EXPECT_NE(info.body.find("<scan:ActualWidth>300</scan:ActualWidth>"), std::string::npos) << info.body;
  const Reply page = Request("GET", job + "/NextDocument");
  EXPECT_TRUE(page.status == 200 && page.complete && page.head.find("Transfer-Encoding: chunked") != std::string::npos)
      << page.head;
  const std::string status = Request("GET", "/eSCL/ScannerStatus").body;
  EXPECT_NE(status.find("<pwg:State>Idle</pwg:State>"), std::string::npos) << status;
  EXPECT_NE(status.find("<pwg:JobState>Completed</pwg:JobState>"), std::string::npos) << status;
  EXPECT_NE(status.find("<pwg:ImagesCompleted>1</pwg:ImagesCompleted>"), std::string::npos) << status;
  EXPECT_EQ(Request("DELETE", job).status, 200);
  // A region running past the glass is scanned as far as the glass goes.
  const std::string clipped = Post(Settings("Grayscale8", 150, "image/png", 2550));
  EXPECT_NE(Request("GET", clipped + "/ScanImageInfo").body.find("<scan:ActualWidth>1216<"), std::string::npos);
  EXPECT_EQ(Request("DELETE", clipped).status, 200);
}

// A page of 31 MB: at the simulated scanner's pace it takes five seconds to cross the wire.
const std::string kLargePage = Settings("Grayscale8", 600, "image/png", 2400, 3200);

TEST_F(EsclServer, ACancelInTheMiddleOfAPageCutsItOffAndTheNextJobWorks) {
  const std::string job = Post(kLargePage);
  Connection reading(port_);
  reading.Send("GET", job + "/NextDocument");
  ASSERT_EQ(reading.Receive(1000).status, 200);
  EXPECT_EQ(Request("DELETE", job).status, 200);
  EXPECT_FALSE(reading.Receive().complete) << "the page was not cut off";
  EXPECT_NE(Request("GET", "/eSCL/ScannerStatus").body.find("<pwg:JobState>Canceled</pwg:JobState>"),
            std::string::npos);
  const std::string next = Post(Settings("Grayscale8", 150, "image/png"));
  EXPECT_EQ(Difference(ReadPng(Request("GET", next + "/NextDocument").body), LocalScan("Gray", 150)), 0);
}

TEST_F(EsclServer, AClientLeavingInTheMiddleOfAPageLeavesTheServerServing) {
  const std::string job = Post(kLargePage);
  {
    Connection leaving(port_);
    leaving.Send("GET", job + "/NextDocument");
    ASSERT_EQ(leaving.Receive(1000).status, 200);
  }
  // The server sees the client gone at its next write; until then the scanner is busy, as a
  // client that retries after 503 finds.
  Reply next;
  for (int tries = 0; tries < 600 && next.status != 201; ++tries) {
    if (tries) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    next = Request("POST", "/eSCL/ScanJobs", Settings("Grayscale8", 150, "image/png"));
    ASSERT_TRUE(next.status == 201 || next.status == 503) << next.head;
  }
  const size_t at = next.head.find("/eSCL/ScanJobs/");
  const std::string path = next.head.substr(at, next.head.find("\r\n", at) - at);
  EXPECT_EQ(Difference(ReadPng(Request("GET", path + "/NextDocument").body), LocalScan("Gray", 150)), 0);
  EXPECT_NE(Request("GET", "/eSCL/ScannerStatus").body.find("<pwg:JobState>Aborted</pwg:JobState>"), std::string::npos);
}

TEST_F(EsclServer, AnEntityBombIsRefusedUnreadWithAShortLogLine) {
  Request("GET", "/eSCL/ScannerStatus");
  const long idle = PeakKilobytes();
  const size_t logged = ReadFile(temp_ / "server.log").size();
  std::string bomb = "<!DOCTYPE s [<!ENTITY a \"" + std::string(1000, 'a') + "\">]><scan:ScanSettings><scan:ColorMode>";
  while (bomb.size() < 60000) bomb += "&a;";
  const Reply reply = Request("POST", "/eSCL/ScanJobs", bomb + "</scan:ColorMode></scan:ScanSettings>");
  EXPECT_EQ(reply.status, 400);
  EXPECT_LT(PeakKilobytes() - idle, 4096) << "kB more at peak";
  const std::string said = Await("refused").substr(logged);
  EXPECT_TRUE(said.find("DTD") != std::string::npos && said.size() < 300) << said;
}

TEST_F(EsclServer, AJobAnswersOnlyTheAddressThatMadeIt) {
  const std::string job = Post(Settings("Grayscale8", 150, "image/png"));
  for (const auto& [method, path] : std::vector<std::pair<std::string, std::string>>{
           {"GET", job + "/NextDocument"}, {"GET", job + "/ScanImageInfo"}, {"DELETE", job}})
    EXPECT_EQ(Request(method, path, "", "127.0.0.2").status, 404) << method << " " << path;
  EXPECT_EQ(Difference(ReadPng(Request("GET", job + "/NextDocument").body), LocalScan("Gray", 150)), 0);
}

TEST_F(EsclServer, CapabilitiesOfferEveryModeAt600DpiInOneProfileAndColourIsScaledToIt) {
  const std::string caps = Request("GET", "/eSCL/ScannerCapabilities").body;
  EXPECT_EQ(caps.find("<scan:SettingProfile>"), caps.rfind("<scan:SettingProfile>")) << "one profile:\n" << caps;
  for (const char* element :
       {"<pwg:Version>2.0<", "<scan:ColorMode>RGB24<", "<scan:ColorMode>Grayscale8<", "<scan:ColorMode>BlackAndWhite1<",
        "<scan:XResolution>600<", "<scan:ColorSpace>sRGB<", "<scan:Manufacturer>", "<scan:MaxPhysicalWidth>",
        "<scan:IconURI>http://127.0.0.1/icon.png<"})
    EXPECT_NE(caps.find(element), std::string::npos) << element;
  EXPECT_EQ(caps.find("DocumentFormatExt"), std::string::npos) << "a format element of later versions";
  png_image icon{};
  icon.version = PNG_IMAGE_VERSION;
  const std::string iconBytes = Request("GET", "/icon.png").body;
  ASSERT_TRUE(png_image_begin_read_from_memory(&icon, iconBytes.data(), iconBytes.size()));
  EXPECT_TRUE(icon.width == 128 && icon.height == 128 && (icon.format & PNG_FORMAT_FLAG_ALPHA));
  png_image_free(&icon);

  EXPECT_NE(Airscan({"-d", "airscan:e0:K310", "--mode", "Gray", "--help"}).out.find("|600dpi"), std::string::npos);
  std::vector<std::string> args = {"-d",  "airscan:e0:K310", "--mode", "Color",      "--resolution",
                                   "600", "--format=pnm",    "-o",     "airscan.pnm"};
  args.insert(args.end(), kArea.begin(), kArea.end());
  ASSERT_EQ(Airscan(args).status, 0);
  const Image scaled = ReadPnm(ReadFile(temp_ / "airscan.pnm"));
  EXPECT_TRUE(scaled.width == 1200 && scaled.height == 600 && scaled.channels == 3)
      << scaled.width << "x" << scaled.height;
}

// A job nobody claims is cancelled after a second here.
class EsclServerShortClaim : public EsclServer {
 protected:
  void SetUp() override {
    config_ = "unclaimed-after 1\n";
    EsclServer::SetUp();
  }
};

TEST_F(EsclServerShortClaim, AJobLeftUnfetchedIsCancelledAndFreesTheScanner) {
  const std::string job = Post(Settings("Grayscale8", 150, "image/png"));
  EXPECT_NE(Await("nobody asked for its page").find("nobody asked for its page"), std::string::npos);
  EXPECT_EQ(Request("GET", job + "/NextDocument").status, 404);
  EXPECT_NE(Request("GET", "/eSCL/ScannerStatus").body.find("<pwg:JobState>Canceled<"), std::string::npos);
  const std::string next = Post(Settings("Grayscale8", 150, "image/png"));
  EXPECT_EQ(Request("GET", next + "/NextDocument").status, 200);
}

// Hundreds of connections from one host that never finish their headers take that host's few
// places and no one else's: another host is answered and scans a page.
TEST_F(EsclServer, HalfOpenConnectionsFromOneHostLeaveOthersServed) {
  std::vector<std::unique_ptr<Connection>> flood;
  for (int i = 0; i < 300; ++i) {
    flood.push_back(std::make_unique<Connection>(port_, "127.0.0.5"));
    flood.back()->SendRaw("GET /eSCL/ScannerStatus HTTP/1.1\r\nHo");
  }
  // Connections are accepted in the order they came: by this answer every one of the flood has
  // been taken in or turned away.
  EXPECT_EQ(Request("GET", "/eSCL/ScannerStatus").status, 200);
  size_t open = flood.size();
  for (int tries = 0; tries < 400 && open > 8; ++tries) {
    if (tries) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    open = 0;
    for (const auto& connection : flood) open += connection->Open() && !connection->ClosedByServer();
  }
  EXPECT_LE(open, 8u) << "connections the flood holds";
  EXPECT_TRUE(Logged("127.0.0.5: connection refused: the client has 8 already"));
  const std::string job = Post(Settings("Grayscale8", 150, "image/png"));
  EXPECT_EQ(Difference(ReadPng(Request("GET", job + "/NextDocument").body), LocalScan("Gray", 150)), 0);
}

TEST_F(EsclServer, AnEndlessChunkedBodyIsRefusedOnceItPassesTheLimit) {
  Connection connection(port_);
  ASSERT_TRUE(
      connection.SendRaw("POST /eSCL/ScanJobs HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n"));
  const std::string chunk = "400\r\n" + std::string(1024, '<') + "\r\n";
  size_t sent = 0;
  while (sent < (64u << 20) && connection.SendRaw(chunk)) sent += 1024;
  EXPECT_LT(sent, 64u << 20) << "the server read on";
  EXPECT_EQ(connection.Receive().status, 413);
  EXPECT_TRUE(Logged("127.0.0.1 POST /eSCL/ScanJobs: 413, a body past 65536 bytes"));
  EXPECT_EQ(LastJobState(), "");
}

// Through DNS rebinding a web page elsewhere reaches the server under a name of its own, and a
// page of another origin can post a form or fetch: neither is served, and nothing is started.
TEST_F(EsclServer, OnlyItsOwnNamesAndItsOwnOriginAreServed) {
  const std::string port = std::to_string(port_);
  const std::string host = "Host: 127.0.0.1:" + port;
  EXPECT_EQ(Raw("GET /eSCL/ScannerStatus HTTP/1.1\r\nHost: evil.example:" + port).status, 421);
  const Reply capabilities = Raw("GET /eSCL/ScannerCapabilities HTTP/1.1\r\nHost: rebound.example");
  EXPECT_EQ(capabilities.status, 421);
  EXPECT_TRUE(capabilities.body.empty());
  EXPECT_EQ(Raw("GET /eSCL/ScannerStatus HTTP/1.1").status, 400) << "HTTP/1.1 names its host";
  EXPECT_EQ(Raw("GET /eSCL/ScannerStatus HTTP/1.0").status, 200);
  EXPECT_EQ(Raw("GET /eSCL/ScannerStatus HTTP/1.1\r\nHost: localhost:" + port).status, 200);

  const std::string settings = Settings("Grayscale8", 150, "image/png");
  const std::string form =
      "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(settings.size());
  EXPECT_EQ(Raw("POST /eSCL/ScanJobs HTTP/1.1\r\n" + host + "\r\nOrigin: http://evil.example" + form, settings).status,
            403);
  EXPECT_EQ(Raw("POST /eSCL/ScanJobs HTTP/1.1\r\nHost: evil.example" + form, settings).status, 421);
  EXPECT_EQ(LastJobState(), "") << "a job was started";

  // The server's own origin, and a form posted with none (libsane's escl backend), make jobs.
  for (const std::string& origin : {"\r\nOrigin: http://127.0.0.1:" + port, std::string()}) {
    const Reply created = Raw("POST /eSCL/ScanJobs HTTP/1.1\r\n" + host + origin + form, settings);
    ASSERT_EQ(created.status, 201) << origin;
    const size_t at = created.head.find("/eSCL/ScanJobs/");
    EXPECT_EQ(Request("DELETE", created.head.substr(at, created.head.find("\r\n", at) - at)).status, 200);
  }
  // Another origin's page neither takes a job's page nor cancels it; the client that asked gets it.
  const std::string job = Post(settings);
  EXPECT_EQ(Raw("GET " + job + "/NextDocument HTTP/1.1\r\n" + host + "\r\nOrigin: http://evil.example").status, 403);
  EXPECT_EQ(Raw("DELETE " + job + " HTTP/1.1\r\n" + host + "\r\nOrigin: http://evil.example").status, 403);
  EXPECT_EQ(LastJobState(), "Processing");
  const Reply page = Request("GET", job + "/NextDocument");
  EXPECT_TRUE(page.status == 200 && page.complete) << page.head;
  EXPECT_TRUE(Logged("127.0.0.1 GET /eSCL/ScannerStatus: 421, Host \"evil.example:" + port +
                     "\" is not a name of this server"));
  EXPECT_TRUE(Logged("127.0.0.1 POST /eSCL/ScanJobs: 403, Origin \"http://evil.example\" is not this server's"));
}

// The deadlines, short enough for a test.
class EsclServerShortLimits : public EsclServer {
 protected:
  void SetUp() override {
    config_ = "limits request-seconds=3,stalled-seconds=2\n";
    EsclServer::SetUp();
  }
};

// A page reader that takes next to nothing holds the scanner no longer than the stall limit: the
// page is dropped, the job aborted, and the next job scans.
TEST_F(EsclServerShortLimits, AReaderThatStopsLosesThePageAndTheScannerIsFreed) {
  // Encoded, the page is far larger than what the system's buffers and the server hold ahead.
  const std::string job = Post(Settings("Grayscale8", 600, "image/jpeg", 2400, 3200));
  ASSERT_FALSE(job.empty());
  Connection reader(port_, "127.0.0.1", 4096);
  reader.Send("GET", job + "/NextDocument");
  ASSERT_EQ(reader.Receive(1).status, 200);
  // A few bytes now and then: too little for the server to send on.
  const std::string stalled = "127.0.0.1: connection closed: took none of its page for 2 s";
  for (int reads = 0; reads < 3000 && ServerLog().find(stalled) == std::string::npos; ++reads) {
    reader.ReadSome(16);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(Logged(stalled));
  EXPECT_EQ(LastJobState(), "Aborted");
  const std::string next = Post(Settings("Grayscale8", 150, "image/png"));
  EXPECT_EQ(Difference(ReadPng(Request("GET", next + "/NextDocument").body), LocalScan("Gray", 150)), 0);
}

// A byte now and then does not keep a request alive past its deadline.
TEST_F(EsclServerShortLimits, ARequestTricklingInIsCutOffAtItsDeadline) {
  Connection slow(port_, "127.0.0.6");
  const std::string request =
      "GET /eSCL/ScannerStatus HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + std::string(400, 'a') + "\r\n\r\n";
  size_t sent = 0;
  while (sent < request.size() && !slow.ClosedByServer() && slow.SendRaw(request.substr(sent, 1))) {
    ++sent;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_LT(sent, request.size()) << "the whole request trickled in";
  EXPECT_TRUE(Logged("127.0.0.6: connection closed: no whole request within 3 s"));
  EXPECT_EQ(Request("GET", "/eSCL/ScannerStatus").status, 200);
}

// A port another program holds: one line that says so and what to do, and no server left running.
TEST(EsclServerStart, APortInUseIsSaidWithWhatToDo) {
  const int held = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(held, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(held, 1), 0);
  getsockname(held, reinterpret_cast<sockaddr*>(&address), &length);
  const std::string listen = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  const ProgramRun run = tarvell::testing::RunProgram(
      {TARVELL_ESCL_SERVER, "--simulate", "--listen", listen, "--no-announce", "--config", "/dev/null"});
  close(held);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("tarvell-escl: cannot listen on " + listen + ": another program"), std::string::npos)
      << run.err;
}

}  // namespace
