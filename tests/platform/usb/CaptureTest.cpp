// Captures: a scan on the simulated bus recorded as a usbmon capture, read back by tshark and
// by the replay backend, and replayed as the device.
#include <pcap/pcap.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "platform/system/Log.h"
#include "platform/usb/Capture.h"
#include "platform/usb/ReplayBus.h"
#include "platform/usb/SimBus.h"
#include "platform/usb/Usbmon.h"
#include "sim/SimulatedScanner.h"
#include "tests/support/Program.h"
#include "usb/CSimpleScanner.h"
#include "usb/DeviceFacts.h"
#include "usb/ScanJob.h"

using namespace tarvell::usb;
using tarvell::device::kProductID;
using tarvell::device::kVendorID;
using tarvell::testing::ReadFile;
using tarvell::testing::RunProgram;
using tarvell::testing::TempDir;

namespace {

// Every read as the driver saw it: endpoint, capacity, bytes and status.
class ReadLog : public ForwardingBus {
 public:
  using ForwardingBus::ForwardingBus;
  void AfterTransfer(Transfer& t) override {
    if (t.kind == Transfer::kRead)
      reads.push_back(std::to_string(t.endpoint) + ":" + std::to_string(t.length) + ":" + std::to_string(t.done) + ":" +
                      std::to_string(t.status));
  }
  std::vector<std::string> reads;
};

struct ScanResult {
  IOReturn status = kIOReturnError;
  std::unique_ptr<ScanData> image;
  std::vector<std::string> reads;
};

ScanResult Scan(std::shared_ptr<Bus> bus, UInt32 location, const ScanningParamBlock& settings) {
  auto log = std::make_shared<ReadLog>(std::move(bus));
  SetActiveBus(log);
  ScanResult r;
  {
    tarvell::LogCapture quiet;
    glJobName.clear();
    std::srand(1);  // the request identifier, as in a fresh process
    CSimpleScanner scanner(location);
    scanner.SetScanningParameters(&settings);
    r.status = scanner.MyScanToBuffer(&r.image);
  }
  SetActiveBus(nullptr);
  r.reads = log->reads;
  return r;
}

// A scan of the simulated scanner, recorded to `path`.
ScanResult Record(const std::string& path, const ScanningParamBlock& settings,
                  tarvell::sim::SimulatedScannerOptions options = {}) {
  auto sim = SimBus::Create();
  tarvell::sim::InstallSimulatedScanner(*sim, options);
  std::string error;
  auto capture = CapturingBus::Create(sim, path, &error, {[sim] { return sim->Now() * 1000; }});
  EXPECT_TRUE(capture) << error;
  ScanResult r = Scan(capture, options.locationID, settings);
  EXPECT_TRUE(capture->Finish(&error)) << error;
  return r;
}

const ScanningParamBlock kGrey{150, 150, 30, 40, 120, 90, 0, 8, 0, 0};

TEST(Capture, TsharkReadsTheRecordedScanAsUsb) {
  TempDir dir;
  Record(dir / "grey.pcap", kGrey);
  EXPECT_EQ(ReadFile(dir / "grey.pcap.part"), "");  // renamed into place
  const auto run = RunProgram({"tshark", "-r", dir / "grey.pcap", "-T", "fields", "-e", "usb.urb_type", "-e",
                               "usb.transfer_type", "-e", "usb.endpoint_address", "-e", "usb.data_len", "-e",
                               "usb.setup.bRequest", "-e", "usb.idVendor"});
  ASSERT_EQ(run.status, 0) << run.err;
  std::istringstream lines(run.out);
  std::map<std::string, int> seen;
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, '\t');) f.push_back(field);
    f.resize(6);
    const std::string &urb = f[0], &type = f[1], &endpoint = f[2], &length = f[3], &request = f[4], &vendor = f[5];
    if (type == "0x03" && endpoint == "0x02" && urb == "'S'") {
      // Each write carries one framed request: an 8-byte header and its XML.
      EXPECT_GT(std::stoi(length), 8) << line;
    }
    if (type == "0x03" && (endpoint == "0x8b" || endpoint == "0x88") && urb == "'S'") {
      EXPECT_EQ(length, "0") << line;  // IN data comes with the completion
    }
    ++seen[urb + " " + type + " " + endpoint + (type == "0x02" && urb == "'S'" ? " " + request : "")];
    if (!vendor.empty()) ++seen["vendor " + vendor];
  }
  EXPECT_EQ(seen["'S' 0x03 0x02"], 5);    // the five calls
  EXPECT_EQ(seen["'C' 0x03 0x8b"], 5);    // their replies
  EXPECT_GE(seen["'C' 0x03 0x88"], 2);    // the image, then the read that times out
  EXPECT_EQ(seen["'S' 0x02 0x80 6"], 1);  // GET_DESCRIPTOR on opening
  EXPECT_EQ(seen["'S' 0x02 0x00 1"], 4);  // CLEAR_FEATURE(ENDPOINT_HALT) on 0x8b and 0x02 on closing, twice each
  EXPECT_EQ(seen["vendor 0x2b7e"], 1);
}

TEST(Capture, ReplayGivesTheDriverTheRecordedReadsAndImage) {
  TempDir dir;
  const ScanResult recorded = Record(dir / "scan.pcap", kGrey);
  ASSERT_TRUE(recorded.image);
  std::string error;
  auto replay = ReplayBus::Open(dir / "scan.pcap", kVendorID, kProductID, &error);
  ASSERT_TRUE(replay) << error;
  EXPECT_EQ(replay->locationID(), 0x01100000u);
  const ScanResult replayed = Scan(replay, replay->locationID(), kGrey);
  EXPECT_EQ(replayed.status, kIOReturnSuccess) << replay->divergence();
  ASSERT_TRUE(replayed.image);
  EXPECT_TRUE(*replayed.image == *recorded.image);
  EXPECT_EQ(replayed.reads, recorded.reads);
  EXPECT_EQ(replay->divergence(), "");

  // A changed setting: the first request already differs, and the replayed device goes away.
  ScanningParamBlock wider = kGrey;
  wider.mainScanLen += 10;
  auto again = ReplayBus::Open(dir / "scan.pcap", kVendorID, kProductID, &error);
  ASSERT_TRUE(again) << error;
  const ScanResult refused = Scan(again, again->locationID(), wider);
  EXPECT_EQ(refused.status, kIOReturnNoDevice);
  EXPECT_FALSE(refused.image);
  EXPECT_NE(
      again->divergence().find("the write to endpoint 0x02 differs from transfer 2 of the capture (frame 3) at byte"),
      std::string::npos)
      << again->divergence();

  // A device that went away mid-scan goes away in the replay too, at the same point.
  tarvell::sim::SimulatedScannerOptions gone;
  gone.misbehave.goneAfterBytes = 5000;
  const ScanResult lost = Record(dir / "gone.pcap", kGrey, gone);
  auto lostReplay = ReplayBus::Open(dir / "gone.pcap", kVendorID, kProductID, &error);
  ASSERT_TRUE(lostReplay) << error;
  const ScanResult lostAgain = Scan(lostReplay, lostReplay->locationID(), kGrey);
  EXPECT_EQ(lost.status, kIOReturnNoDevice);
  EXPECT_EQ(lostAgain.status, kIOReturnNoDevice);
  EXPECT_EQ(lostAgain.reads, lost.reads);
}

// Writes a capture of `linktype` holding `records` (usbmon records, or any bytes).
std::string WriteCapture(const TempDir& dir, const std::string& name, int linktype,
                         const std::vector<std::vector<UInt8>>& records) {
  pcap_t* dead = pcap_open_dead(linktype, 262144);
  pcap_dumper_t* dumper = pcap_dump_open(dead, (dir / name).c_str());
  for (const auto& r : records) {
    pcap_pkthdr h{};
    h.caplen = h.len = bpf_u_int32(r.size());
    pcap_dump(reinterpret_cast<u_char*>(dumper), &h, r.data());
  }
  pcap_dump_close(dumper);
  pcap_close(dead);
  return dir / name;
}

TEST(Capture, BadCapturesGiveAClearErrorAndNoReplay) {
  TempDir dir;
  const std::string good = dir / "good.pcap";
  Record(good, kGrey);
  const std::string bytes = ReadFile(good);
  std::ofstream(dir / "cut.pcap", std::ios::binary) << bytes.substr(0, bytes.size() / 2);
  std::ofstream(dir / "text.pcap") << "not a capture\n";
  const UInt8 shortRecord[20] = {};
  UsbmonRecord bulk;
  bulk.endpoint = 0x02;
  bulk.device = 5;
  bulk.bus = 3;
  bulk.data = {1, 2, 3};
  WriteCapture(dir, "ether.pcap", 1, {std::vector<UInt8>(60, 0)});
  WriteCapture(dir, "short.pcap", 220, {std::vector<UInt8>(shortRecord, shortRecord + 20)});
  WriteCapture(dir, "anonymous.pcap", 220, {EncodeUsbmon(bulk)});
  const struct {
    std::string source, error;
  } rows[] = {
      {dir / "missing.pcap", "cannot be read as a capture"},
      {dir / "text.pcap", "cannot be read as a capture"},
      {dir / "cut.pcap", "cannot be read: truncated dump file"},
      {dir / "ether.pcap", "is not a USB capture: its link type is 1 (EN10MB)"},
      {dir / "short.pcap", "frame 1 is no usbmon record: too short for a usbmon record (20 bytes)"},
      {dir / "anonymous.pcap", "holds no device descriptor of the scanner (0x2b7e:0x0c5a); name its device as " +
                                   dir / "anonymous.pcap@BUS.DEV (devices with bulk transfers: 3.5)"},
      {dir / "anonymous.pcap@3.6", "device 3.6 has no bulk or interrupt transfers"},
  };
  for (const auto& row : rows) {
    std::string error;
    EXPECT_FALSE(ReplayBus::Open(row.source, kVendorID, kProductID, &error)) << row.source;
    EXPECT_NE(error.find(row.error), std::string::npos) << error;
  }
  std::string error;
  EXPECT_TRUE(ReplayBus::Open(dir / "anonymous.pcap@3.5", kVendorID, kProductID, &error)) << error;
}

}  // namespace
