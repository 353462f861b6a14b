// Debian's own scanimage against the built backend and the simulated scanner, with a private
// configuration folder (dll.conf naming only this backend, tarvell.conf enabling simulation).
// Images are compared with what `scanner-module scan` delivers for the same settings.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/Program.h"

namespace {

using Outcome = tarvell::testing::ProgramRun;
using tarvell::testing::ReadFile;

Outcome Execute(const std::vector<std::string>& args, const std::vector<std::string>& env, const std::string& dir) {
  tarvell::testing::ProgramOptions options;
  options.env = env;
  options.dir = dir;
  return tarvell::testing::RunProgram(args, options);
}

// An image with one byte a sample: bilevel 1 = black, grey and colour 0 = black.
struct Image {
  uint32_t width = 0, height = 0;
  int depth = 0, channels = 0;
  float resolution = 0;  // TIFF only: dots per inch
  std::vector<uint8_t> samples;
  std::string error;
};

Image LoadTiff(const std::string& path) {
  Image image;
  TIFF* tif = TIFFOpen(path.c_str(), "r");
  if (!tif) {
    image.error = "not a TIFF: " + path;
    return image;
  }
  uint16_t bps = 0, spp = 0, photometric = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &image.width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &image.height);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
  TIFFGetField(tif, TIFFTAG_XRESOLUTION, &image.resolution);
  image.depth = bps;
  image.channels = spp;
  std::vector<uint8_t> line(size_t(TIFFScanlineSize(tif)));
  for (uint32_t y = 0; y < image.height; ++y) {
    if (TIFFReadScanline(tif, line.data(), y, 0) < 0) {
      image.error = "unreadable line in " + path;
      break;
    }
    for (uint32_t x = 0; x < image.width * spp; ++x) {
      uint8_t v = bps == 1 ? (line[x / 8] >> (7 - x % 8)) & 1 : line[x];
      if (bps == 1 && photometric == PHOTOMETRIC_MINISBLACK) v ^= 1;
      if (bps == 8 && photometric == PHOTOMETRIC_MINISWHITE) v = uint8_t(255 - v);
      image.samples.push_back(v);
    }
  }
  TIFFClose(tif);
  return image;
}

Image LoadPnm(const std::string& path) {
  Image image;
  const std::string data = ReadFile(path);
  size_t pos = 0;
  auto token = [&]() {
    for (;;) {
      while (pos < data.size() && isspace(static_cast<unsigned char>(data[pos]))) ++pos;
      if (pos < data.size() && data[pos] == '#') {
        while (pos < data.size() && data[pos] != '\n') ++pos;
        continue;
      }
      break;
    }
    size_t start = pos;
    while (pos < data.size() && !isspace(static_cast<unsigned char>(data[pos]))) ++pos;
    return data.substr(start, pos - start);
  };
  const std::string magic = token();
  if (magic != "P4" && magic != "P5" && magic != "P6") {
    image.error = "not a binary PNM: " + path;
    return image;
  }
  image.width = uint32_t(std::stoul(token()));
  image.height = uint32_t(std::stoul(token()));
  image.depth = magic == "P4" ? 1 : 8;
  image.channels = magic == "P6" ? 3 : 1;
  if (magic != "P4") token();  // maximum
  ++pos;                       // the one whitespace before the pixels
  const size_t rowBytes = magic == "P4" ? (image.width + 7) / 8 : size_t(image.width) * image.channels;
  if (data.size() < pos + rowBytes * image.height) {
    image.error = "short PNM: " + path;
    return image;
  }
  for (uint32_t y = 0; y < image.height; ++y) {
    const unsigned char* row = reinterpret_cast<const unsigned char*>(data.data() + pos + y * rowBytes);
    for (uint32_t x = 0; x < image.width * image.channels; ++x)
      image.samples.push_back(magic == "P4" ? (row[x / 8] >> (7 - x % 8)) & 1 : row[x]);
  }
  return image;
}

void ExpectSameImage(const Image& a, const Image& b, const std::string& what) {
  ASSERT_TRUE(a.error.empty()) << a.error;
  ASSERT_TRUE(b.error.empty()) << b.error;
  EXPECT_EQ(a.width, b.width) << what;
  EXPECT_EQ(a.height, b.height) << what;
  EXPECT_EQ(a.depth, b.depth) << what;
  EXPECT_EQ(a.channels, b.channels) << what;
  EXPECT_TRUE(a.samples == b.samples) << what << ": the pixels differ";
}

class Scanimage : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(temp_.path().empty());
    dir_ = temp_.path();
    std::ofstream(dir_ + "/dll.conf") << "# only this backend\ntarvell\n";
    Configure("simulate\n");
  }
  void Configure(const std::string& text) { std::ofstream(dir_ + "/tarvell.conf") << text; }

  // The environment of a SANE program using the configuration in `configDir`.
  std::vector<std::string> SaneEnv(const std::string& configDir) {
    std::vector<std::string> env = {"SANE_CONFIG_DIR=" + configDir, "LD_LIBRARY_PATH=" TARVELL_SANE_BACKEND_DIR};
    // In the sanitizer build the backend needs the sanitizer runtime, which SANE's programs lack;
    // their own allocations are not ours to check.
    if (std::string(TARVELL_SANE_PRELOAD).size())
      env.insert(env.end(), {"LD_PRELOAD=" TARVELL_SANE_PRELOAD, "ASAN_OPTIONS=detect_leaks=0"});
    return env;
  }
  Outcome RunScanimage(std::vector<std::string> args, const std::string& configDir = "") {
    args.insert(args.begin(), TARVELL_SCANIMAGE);
    return Execute(args, SaneEnv(configDir.empty() ? dir_ : configDir), dir_);
  }

  // scanner-module's own scan of the same settings, or an empty path when it has no scan command;
  // what it said on standard error in *err.
  std::string ModuleScan(const std::vector<std::string>& settings, const std::string& name,
                         std::string* err = nullptr) {
    Outcome help = Execute({TARVELL_SCANNER_MODULE, "--help"}, {}, dir_);
    if (help.out.find("\n  scan") == std::string::npos) return "";
    std::vector<std::string> args = {TARVELL_SCANNER_MODULE, "scan", "--simulate"};
    args.insert(args.end(), settings.begin(), settings.end());
    args.insert(args.end(), {"-o", dir_ + "/" + name});
    Outcome run = Execute(args, {}, dir_);
    EXPECT_EQ(run.status, 0) << run.err;
    if (err) *err = run.err;
    return dir_ + "/" + name;
  }

  tarvell::testing::TempDir temp_{"tarvell-scanimage"};
  std::string dir_;
};

TEST_F(Scanimage, ListsTheScanner) {
  Outcome run = RunScanimage({"-L"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(
      run.out.find("device `tarvell:sim:0x01100000' is a Tarvell K310 (USB), simulated multi-function peripheral"),
      std::string::npos)
      << run.out;
}

TEST_F(Scanimage, TestModePasses) {
  Outcome run = RunScanimage({"-d", "tarvell:sim:0x01100000", "-T", "--resolution", "75"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("PASS"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("FAIL"), std::string::npos) << run.err;
}

TEST_F(Scanimage, EveryModeInBothFormatsMatchesTheCommandLineHost) {
  for (const char* mode : {"Lineart", "Gray", "Color"}) {
    SCOPED_TRACE(mode);
    const std::vector<std::string> settings = {"--mode", mode, "--resolution", "150", "-l", "10",
                                               "-t",     "20", "-x",           "80",  "-y", "60"};
    std::vector<std::string> tiffArgs = settings, pnmArgs = settings;
    tiffArgs.insert(tiffArgs.end(), {"--format=tiff", "-o", dir_ + "/scan.tiff"});
    pnmArgs.insert(pnmArgs.end(), {"--format=pnm", "-o", dir_ + "/scan.pnm"});
    Outcome tiffRun = RunScanimage(tiffArgs);
    ASSERT_EQ(tiffRun.status, 0) << tiffRun.err;
    Outcome pnmRun = RunScanimage(pnmArgs);
    ASSERT_EQ(pnmRun.status, 0) << pnmRun.err;
    const Image tiff = LoadTiff(dir_ + "/scan.tiff");
    const Image pnm = LoadPnm(dir_ + "/scan.pnm");
    ExpectSameImage(tiff, pnm, "scanimage's TIFF and PNM");
    EXPECT_EQ(tiff.depth, std::string(mode) == "Lineart" ? 1 : 8);
    EXPECT_EQ(tiff.channels, std::string(mode) == "Color" ? 3 : 1);

    const std::string reference = ModuleScan(settings, std::string(mode) + ".tiff");
    ASSERT_FALSE(reference.empty()) << "scanner-module has no scan command";
    ExpectSameImage(tiff, LoadTiff(reference), "scanimage and scanner-module scan");
  }
}

TEST_F(Scanimage, ColourAbove300DpiIsScannedAt300AndEveryFileSaysSo) {
  // The backend offers colour up to 300 dpi and snaps 600 to it; the command line says so and
  // scans the same. Both files say 300 dpi, so a letter page stays a letter page.
  const std::vector<std::string> settings = {"--mode", "Color", "--resolution", "600",   "-l", "0",
                                             "-t",     "0",     "-x",           "215.9", "-y", "279.4"};
  std::vector<std::string> args = settings;
  args.insert(args.end(), {"--format=tiff", "-o", dir_ + "/600.tiff"});
  Outcome run = RunScanimage(args);
  ASSERT_EQ(run.status, 0) << run.err;
  const Image image = LoadTiff(dir_ + "/600.tiff");
  EXPECT_EQ(image.width, 2550u);
  EXPECT_EQ(image.height, 3300u);
  std::string said;
  const std::string reference = ModuleScan(settings, "600-module.tiff", &said);
  ASSERT_FALSE(reference.empty()) << "scanner-module has no scan command";
  EXPECT_NE(said.find("scanner-module: colour is scanned at 300 dpi at most: 600 dpi is scanned at 300 dpi\n"),
            std::string::npos)
      << said;
  ExpectSameImage(image, LoadTiff(reference), "scanimage and scanner-module scan");
  for (const std::string& tiff : {dir_ + "/600.tiff", reference}) {
    EXPECT_EQ(LoadTiff(tiff).resolution, 300.0f) << tiff;
    ASSERT_EQ(Execute({"tiff2pdf", "-o", tiff + ".pdf", tiff}, {}, dir_).status, 0) << tiff;
    const Outcome info = Execute({"pdfinfo", tiff + ".pdf"}, {}, dir_);
    EXPECT_NE(info.out.find("Page size:       612 x 792 pts"), std::string::npos) << info.out;
  }
}

TEST_F(Scanimage, ShowsProgress) {
  Outcome run = RunScanimage({"-p", "--mode", "Gray", "--resolution", "75", "-o", dir_ + "/progress.pnm"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("Progress: 100.0%"), std::string::npos) << run.err.substr(0, 300);
}

TEST_F(Scanimage, MisbehavingDevicesEndInScanimagesErrorExit) {
  // Without an image nothing starts; a page that breaks off fails where it breaks off.
  const std::pair<const char*, const char*> cases[] = {{"simulate timeouts-before-data=100\n", "sane_start"},
                                                       {"simulate gone-after-bytes=20000\n", "sane_read"},
                                                       {"simulate short-image-by=1000\n", "sane_read"}};
  for (const auto& [conf, where] : cases) {
    SCOPED_TRACE(conf);
    Configure(conf);
    Outcome run = RunScanimage({"--resolution", "150", "-o", dir_ + "/failed.pnm"});
    EXPECT_EQ(run.signal, 0) << "scanimage was killed";
    EXPECT_GT(run.status, 0) << run.err;
    EXPECT_NE(run.err.find(std::string(where) + ": Error during device I/O"), std::string::npos) << run.err;
  }
}

TEST_F(Scanimage, RecordedScanReplaysFromItsCapture) {
  Configure("simulate\ncapture " + dir_ + "/scan.pcap\n");
  Outcome run = RunScanimage({"--mode", "Gray", "--resolution", "75", "-o", dir_ + "/recorded.pnm"});
  ASSERT_EQ(run.status, 0) << run.err;
  Configure("replay " + dir_ + "/scan.pcap\n");
  run = RunScanimage({"--mode", "Gray", "--resolution", "75", "-o", dir_ + "/replayed.pnm"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFile(dir_ + "/replayed.pnm"), ReadFile(dir_ + "/recorded.pnm"));
  run = RunScanimage({"--mode", "Gray", "--resolution", "150", "-o", dir_ + "/refused.pnm"});
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.err.find("replay stopped: the write to endpoint 0x02 differs"), std::string::npos) << run.err;
}

TEST_F(Scanimage, ThreeScansInOneProcess) {
  Outcome run =
      RunScanimage({"--mode", "Color", "--resolution", "75", "--batch=" + dir_ + "/page%d.pnm", "--batch-count=3"});
  ASSERT_EQ(run.status, 0) << run.err;
  const Image first = LoadPnm(dir_ + "/page1.pnm");
  EXPECT_GT(first.width, 0u);
  for (int page = 2; page <= 3; ++page)
    ExpectSameImage(first, LoadPnm(dir_ + "/page" + std::to_string(page) + ".pnm"), "page " + std::to_string(page));
}

TEST_F(Scanimage, EndAtJobEndSavesTheFailedReadAfterThePage) {
  for (bool endAtJobEnd : {false, true}) {
    Configure(endAtJobEnd ? "simulate\nend-at-job-end\n" : "simulate\n");
    std::vector<std::string> env = SaneEnv(dir_);
    env.push_back("SANE_DEBUG_TARVELL=5");  // the driver's log, which has a line for each failed read
    Outcome backend = Execute({TARVELL_SCANIMAGE, "--resolution", "75", "-o", dir_ + "/page.pnm"}, env, dir_);
    Outcome module = Execute({TARVELL_SCANNER_MODULE, "scan", "--simulate", "-v", "--resolution", "75", "-o",
                              dir_ + "/page.tiff", endAtJobEnd ? "--end-at-job-end" : "--progress"},
                             {}, dir_);
    for (const Outcome& run : {backend, module}) {
      const bool failedRead = run.err.find("Data Read fail error") != std::string::npos;
      EXPECT_TRUE(run.status == 0 && failedRead != endAtJobEnd) << run.err;
    }
  }
}

// saned on a loopback address of the test's own (the net backend always connects to port 6566),
// serving the built backend from this test's folder; clients reach it through SANE's net backend.
class Saned : public Scanimage {
 protected:
  void SetUp() override {
    Scanimage::SetUp();
    std::mt19937 random(std::random_device{}());
    address_ = "127." + std::to_string(1 + random() % 254) + "." + std::to_string(random() % 256) + "." +
               std::to_string(1 + random() % 254);
    std::ofstream(dir_ + "/saned.conf") << "127.0.0.0/8\n";
    client_ = dir_ + "/client";
    mkdir(client_.c_str(), 0700);
    std::ofstream(client_ + "/dll.conf") << "net\n";
    std::ofstream(client_ + "/net.conf") << address_ << "\nconnect_timeout = 10\n";
    std::vector<std::string> env = SaneEnv(dir_);
    // The backend's leaks are ours to find in saned's servers, which report them in saned.log.
    if (std::string(TARVELL_SANE_PRELOAD).size()) env.back() = "ASAN_OPTIONS=detect_leaks=1";
    // The servers saned forks come back to this test when saned ends, to be waited for.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    saned_ = fork();
    if (saned_ == 0) {
      setpgid(0, 0);  // its own group, with the servers it forks for each client
      if (!freopen((dir_ + "/saned.log").c_str(), "w", stderr)) _exit(126);
      for (std::string& e : env) putenv(e.data());
      execlp(TARVELL_SANED, "saned", "-l", "-e", "-b", address_.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    ASSERT_GT(saned_, 0);
    setpgid(saned_, saned_);
    sockaddr_in to{AF_INET, htons(6566), {inet_addr(address_.c_str())}, {}};
    bool listening = false;
    for (int i = 0; i < 200 && !listening; ++i, usleep(20000)) {
      int s = socket(AF_INET, SOCK_STREAM, 0);
      listening = connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
      close(s);
    }
    ASSERT_TRUE(listening) << "saned does not listen on " << address_;
  }
  void TearDown() override {
    if (saned_ > 0) {
      kill(-saned_, SIGTERM);
      while (waitpid(-1, nullptr, 0) > 0) {
      }
      EXPECT_EQ(ReadFile(dir_ + "/saned.log").find("Sanitizer"), std::string::npos) << ReadFile(dir_ + "/saned.log");
    }
    Scanimage::TearDown();
  }
  // scanimage through the net backend, with its output in `file`.
  std::string Client(const std::string& file) {
    return std::string(TARVELL_SCANIMAGE) + " -d net:" + address_ + ":tarvell:sim:0x01100000 --format=pnm -o " + dir_ +
           "/" + file;
  }
  Outcome Shell(const std::string& script, bool local = false) {
    return Execute({"sh", "-c", script}, SaneEnv(local ? dir_ : client_), dir_);
  }

  std::string address_, client_;
  pid_t saned_ = -1;
};

TEST_F(Saned, ServesTheSamePixelsToClientsAtOnceAndOutlivesAKilledOne) {
  // In real time, so that the large scan below is still running when its client is killed,
  // however fast this machine is.
  Configure("simulate pace=5M silence=20\n");
  Outcome list = RunScanimage({"-L"}, client_);
  EXPECT_NE(list.out.find("`net:" + address_ + ":tarvell:sim:0x01100000' is a Tarvell K310 (USB), simulated"),
            std::string::npos)
      << list.out << list.err;
  const std::string settings = " --mode Gray --resolution 150 -l 10 -t 20 -x 80 -y 60";
  ASSERT_EQ(Shell(TARVELL_SCANIMAGE + settings + " --format=pnm -o " + dir_ + "/local.pnm", true).status, 0);
  const std::string local = ReadFile(dir_ + "/local.pnm");
  Outcome both = Shell(Client("a.pnm") + settings + " & a=$!; " + Client("b.pnm") + settings + " && wait $a");
  ASSERT_EQ(both.status, 0) << both.err;
  EXPECT_TRUE(ReadFile(dir_ + "/a.pnm") == local && ReadFile(dir_ + "/b.pnm") == local);

  // Killed once part of a large image has arrived; the next client is served as before.
  const std::string size = "$(stat -c %s " + dir_ + "/big.pnm 2>/dev/null || echo 0)";
  Outcome killed = Shell(Client("big.pnm") + " --mode Gray --resolution 600 & c=$!; while kill -0 $c && [ " + size +
                         " -lt 100000 ]; do sleep 0.01; done; kill -9 $c; wait $c");
  EXPECT_EQ(killed.status, 128 + SIGKILL) << killed.err;
  ASSERT_EQ(kill(saned_, 0), 0) << "saned is gone";
  Outcome after = Shell(Client("after.pnm") + settings);
  ASSERT_EQ(after.status, 0) << after.err;
  EXPECT_TRUE(ReadFile(dir_ + "/after.pnm") == local);
}

}  // namespace
