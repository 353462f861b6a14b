// scanner-module's --capture and --replay as a user runs them: the kept captures of
// tests/data/captures replay to the TIFF the simulated scanner gives, a fresh recording replays
// byte for byte, and a replay that the driver leaves, or that is no capture, is refused.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/support/Program.h"

using tarvell::testing::ProgramRun;
using tarvell::testing::ReadFile;
using tarvell::testing::RunProgram;
using tarvell::testing::TempDir;

namespace {

const std::string kCaptures = TARVELL_SOURCE_DIR "/tests/data/captures/";

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

ProgramRun Module(std::vector<std::string> args) {
  args.insert(args.begin(), TARVELL_SCANNER_MODULE);
  ProgramRun run = RunProgram(args);
  EXPECT_EQ(run.err.find("Sanitizer"), std::string::npos) << run.err;
  return run;
}

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(CaptureEndToEnd, KeptCapturesReplayToTheSimulatedScannersTiff) {
  std::ifstream list(kCaptures + "captures.txt");
  int replayed = 0;
  for (std::string line; std::getline(list, line);) {
    if (line.empty() || line[0] == '#') continue;
    const size_t bar = line.find('|'), bar2 = line.find('|', bar + 1);
    const std::string name = Words(line.substr(0, bar)).at(0);
    const auto recording = Words(line.substr(bar + 1, bar2 - bar - 1)), options = Words(line.substr(bar2 + 1));
    SCOPED_TRACE(name);
    TempDir dir;
    const ProgramRun sim = Module(Join(Join({"scan", "--simulate", "-o", dir / "sim.tiff"}, recording), options));
    const ProgramRun replay =
        Module(Join({"scan", "--replay", kCaptures + name + ".pcap", "-o", dir / "replay.tiff"}, options));
    EXPECT_EQ(replay.status, sim.status) << replay.err;
    EXPECT_EQ(replay.err.find("replay stopped"), std::string::npos) << replay.err;
    EXPECT_EQ(ReadFile(dir / "replay.tiff"), ReadFile(dir / "sim.tiff"));
    ++replayed;
  }
  EXPECT_EQ(replayed, 4);
}

TEST(CaptureEndToEnd, RecordedScanReplaysByteForByteAndAChangedOneIsRefused) {
  TempDir dir;
  const std::vector<std::string> settings = {"--mode", "Gray", "--resolution", "200", "-x", "30", "-y", "20"};
  ProgramRun run = Module(Join({"scan", "--simulate", "--capture", dir / "scan.pcap", "-o", dir / "a.tiff"}, settings));
  ASSERT_EQ(run.status, 0) << run.err;
  run = Module(Join({"scan", "--replay", dir / "scan.pcap", "-o", dir / "b.tiff"}, settings));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_FALSE(ReadFile(dir / "a.tiff").empty());
  EXPECT_EQ(ReadFile(dir / "a.tiff"), ReadFile(dir / "b.tiff"));

  run = Module({"scan", "--replay", dir / "scan.pcap", "-o", dir / "c.tiff", "--mode", "Gray", "--resolution", "300",
                "-x", "30", "-y", "20"});
  EXPECT_EQ(run.status, 1);
  // The cause alone, not the failed scan it led to.
  EXPECT_EQ(run.err.find("scanner-module: replay stopped: the write to endpoint 0x02 differs from transfer 2 of the "
                         "capture (frame 3) at byte"),
            0u)
      << run.err;
  EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
  EXPECT_EQ(ReadFile(dir / "c.tiff"), "");

  // Any command records; the file is where it was asked for, nothing half-written beside it.
  run = Module({"list", "--simulate", "--capture", dir / "list.pcap"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(RunProgram({"tshark", "-r", dir / "list.pcap"}).status, 0);
  EXPECT_EQ(ReadFile(dir / "list.pcap.part"), "");

  const struct {
    std::vector<std::string> args;
    int status;
    std::string error;
  } refused[] = {
      {{"scan", "--replay", dir / "none.pcap"}, 1, "none.pcap cannot be read as a capture"},
      {{"scan", "--replay", dir / "a.tiff"}, 1, "a.tiff cannot be read as a capture"},
      {{"scan", "--simulate", "--replay", dir / "scan.pcap"}, 2, "--simulate and --replay each give the scanner"},
      {{"list", "--simulate", "--capture", dir / "no/such/dir/x.pcap"}, 1, "cannot write the capture"},
  };
  for (const auto& r : refused) {
    run = Module(r.args);
    EXPECT_EQ(run.status, r.status) << r.error;
    EXPECT_NE(run.err.find(r.error), std::string::npos) << run.err;
  }
}

}  // namespace
