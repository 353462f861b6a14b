// The host side of the backend against the simulated scanner, in process: listing, opening,
// the frames it predicts and delivers, and what misbehaving devices lead to.
#include "sane/SaneHost.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "platform/system/SystemInfo.h"
#include "platform/usb/SimBus.h"
#include "sim/TestChart.h"
#include "tests/support/GateClock.h"

namespace tarvell::sane {
namespace {

std::unique_ptr<Backend> MakeBackend(const std::string& conf,
                                     std::shared_ptr<tarvell::testing::GateClock> clock = nullptr) {
  std::istringstream in(conf);
  BackendConfig config = ParseConfig(in);
  config.clock = std::move(clock);
  return std::make_unique<Backend>(std::move(config));
}

void Choose(Device* device, ScanMode mode, SANE_Int dpi, double l, double t, double r, double b) {
  OptionSet& o = device->options();
  char name[16] = {};
  std::snprintf(name, sizeof name, "%s", ModeName(mode));
  ASSERT_EQ(o.Control(kOptMode, SANE_ACTION_SET_VALUE, name, nullptr), SANE_STATUS_GOOD);
  SANE_Word values[] = {dpi, SANE_FIX(l), SANE_FIX(t), SANE_FIX(r), SANE_FIX(b)};
  SANE_Int indices[] = {kOptResolution, kOptTlX, kOptTlY, kOptBrX, kOptBrY};
  for (int i = 0; i < 5; ++i)
    ASSERT_EQ(o.Control(indices[i], SANE_ACTION_SET_VALUE, &values[i], nullptr), SANE_STATUS_GOOD) << i;
}

// Reads the whole frame in pieces of `piece` bytes; the status that ended it in *end.
std::vector<SANE_Byte> ReadFrame(Device* device, SANE_Int piece, SANE_Status* end) {
  std::vector<SANE_Byte> frame;
  std::vector<SANE_Byte> buffer(static_cast<size_t>(piece));
  for (;;) {
    SANE_Int n = 0;
    SANE_Status status = device->Read(buffer.data(), piece, &n);
    if (status != SANE_STATUS_GOOD) {
      *end = status;
      return frame;
    }
    frame.insert(frame.end(), buffer.begin(), buffer.begin() + n);
  }
}

// A frame against the chart the simulated scanner drew for its last request: every pixel of the
// first and last rows and of every 13th row (the chart is costly to sample in the sanitizer build).
// With `inverted`, grey and line-art samples are the chart's turned over.
void ExpectChart(const std::vector<SANE_Byte>& frame, const SANE_Parameters& p,
                 const tarvell::sim::ChartRequest& request, bool inverted = false) {
  ASSERT_EQ(frame.size(), size_t(p.bytes_per_line) * size_t(p.lines));
  int wrong = 0;
  for (SANE_Int row = 0; row < p.lines && wrong < 5; ++row) {
    if (row >= 4 && row < p.lines - 4 && row % 13 != 0) continue;
    const SANE_Byte* line = &frame[size_t(row) * size_t(p.bytes_per_line)];
    for (SANE_Int col = 0; col < p.pixels_per_line && wrong < 5; ++col) {
      uint32_t got = p.depth == 1 ? (line[col / 8] >> (7 - col % 8)) & 1
                     : p.format == SANE_FRAME_GRAY
                         ? line[col]
                         : uint32_t(line[3 * col]) << 16 | uint32_t(line[3 * col + 1]) << 8 | line[3 * col + 2];
      uint32_t want = tarvell::sim::ExpectedSample(request, uint32_t(col), uint32_t(row));
      if (inverted && p.format == SANE_FRAME_GRAY) want ^= p.depth == 1 ? 1 : 0xFF;
      if (got != want) {
        ++wrong;
        ADD_FAILURE() << "pixel (" << col << ", " << row << "): " << std::hex << got << " instead of " << want;
      }
    }
  }
}

TEST(SaneHost, ListsEverySimulatedScannerAndKeepsListingOpenOnes) {
  auto backend = MakeBackend("simulate\nsimulate\n");
  std::vector<Backend::Found> found = backend->ListDevices();
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].name, "sim:0x01100000");
  EXPECT_EQ(found[0].model, "Tarvell K310 (USB)");
  EXPECT_EQ(found[1].name, "sim:0x01200000");

  Device* second = nullptr;
  ASSERT_EQ(backend->Open("sim:0x01200000", &second), SANE_STATUS_GOOD);
  found = backend->ListDevices();
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].name, "sim:0x01200000");  // the open one first
  EXPECT_EQ(found[1].name, "sim:0x01100000");

  // "" opens the first one that is not open yet.
  Device* first = nullptr;
  ASSERT_EQ(backend->Open("", &first), SANE_STATUS_GOOD);
  EXPECT_EQ(first->location(), 0x01100000u);
  Device* none = nullptr;
  EXPECT_EQ(backend->Open("", &none), SANE_STATUS_INVAL);
  EXPECT_EQ(backend->Open("sim:0x01100000", &none), SANE_STATUS_DEVICE_BUSY);
  EXPECT_EQ(none, nullptr);

  backend->Close(first);
  EXPECT_EQ(backend->Find(first), nullptr);
  EXPECT_NE(backend->Find(second), nullptr);
  ASSERT_EQ(backend->Open("0x01100000", &first), SANE_STATUS_GOOD);  // the bare location works too
}

TEST(SaneHost, NamesThatNameNothingHereAreRefused) {
  auto backend = MakeBackend("simulate\n");
  Device* device = nullptr;
  for (const char* name : {"usb:0x01100000", "sim:", "sim:0x", "sim:0xZZ", "sim:0x01100000 ", "sim:0", "sim:-1",
                           "sim:0x1ffffffff", "sim:0x09900000", "pixma:libusb:001:002"})
    EXPECT_EQ(backend->Open(name, &device), SANE_STATUS_INVAL) << name;
  EXPECT_EQ(device, nullptr);
}

TEST(SaneHost, ADeviceTheDriverCannotOpenIsAnIOErrorOrBusyWhileAnotherProgramHoldsIt) {
  auto backend = MakeBackend("simulate\n");
  // Someone else holds the scanner's interface.
  backend->simulatedBus()->FailNext(tarvell::usb::SimOp::InterfaceOpen, 1, kIOReturnExclusiveAccess);
  Device* device = nullptr;
  EXPECT_EQ(backend->Open("sim:0x01100000", &device), SANE_STATUS_IO_ERROR);
  EXPECT_EQ(device, nullptr);
  EXPECT_EQ(backend->Open("sim:0x01100000", &device), SANE_STATUS_GOOD);  // once it is free
  backend->Close(device);

  // Held by another program for as long as it keeps it: busy, not an I/O error (over libusb
  // the refused claim, EBUSY, is the same exclusive-access status).
  using namespace tarvell::usb;
  std::unique_ptr<MasterPort> port;
  MatchingDictionary matching;
  ServiceList services;
  std::unique_ptr<PlugIn> plugIn;
  std::unique_ptr<USBInterface> held;
  ASSERT_EQ(ActiveBus()->CreateMasterPort(&port), kIOReturnSuccess);
  ASSERT_TRUE(port->CreateMatching(kInterfaceClass, &matching));
  ASSERT_EQ(port->GetMatchingServices(matching, &services), kIOReturnSuccess);
  ASSERT_EQ(services.at(0)->CreatePlugIn(&plugIn), kIOReturnSuccess);
  ASSERT_EQ(plugIn->QueryInterface(&held), kIOReturnSuccess);
  ASSERT_EQ(held->Open(), kIOReturnSuccess);
  EXPECT_EQ(backend->ListDevices().size(), 1u);  // listing opens nothing
  EXPECT_EQ(backend->Open("sim:0x01100000", &device), SANE_STATUS_DEVICE_BUSY);
  held->Close();
  EXPECT_EQ(backend->Open("sim:0x01100000", &device), SANE_STATUS_GOOD);
}

TEST(SaneHost, OptionsCarryTheDriversResolutionsAndBed) {
  auto backend = MakeBackend("simulate\n");
  Device* device = nullptr;
  ASSERT_EQ(backend->Open("", &device), SANE_STATUS_GOOD);
  Choose(device, ScanMode::kGray, 150, 0, 0, 10, 10);  // colour lists only those up to 300
  const SANE_Word* list = device->options().Descriptor(kOptResolution)->constraint.word_list;
  EXPECT_EQ(std::vector<SANE_Word>(list + 1, list + 1 + list[0]),
            (std::vector<SANE_Word>{75, 150, 200, 300, 400, 600}));
  EXPECT_NEAR(SANE_UNFIX(device->options().Descriptor(kOptBrY)->constraint.range->max), 296.926, 0.001);
}

struct Case {
  ScanMode mode;
  SANE_Int dpi;
  double l, t, r, b;
};

TEST(SaneHost, FramesAreWhatTheDeviceDeliversAndWhatWasPredicted) {
  auto backend = MakeBackend("simulate\n");
  Device* device = nullptr;
  ASSERT_EQ(backend->Open("", &device), SANE_STATUS_GOOD);
  const Case cases[] = {
      {ScanMode::kColor, 75, 0, 0, 215.9, 296.926},       // the whole bed
      {ScanMode::kColor, 300, 10, 20, 60, 50},            // colour at its highest
      {ScanMode::kColor, 200, 200, 280, 215.9, 296.926},  // a corner, clipped to the glass
      {ScanMode::kGray, 150, 3.3, 7.7, 101.1, 33.3},
      {ScanMode::kGray, 600, 0, 0, 12.5, 9.1},
      {ScanMode::kLineart, 200, 5.1, 0, 71.3, 40},  // offsets and widths on whole bytes
      {ScanMode::kLineart, 600, 0, 0, 1, 1},
      {ScanMode::kLineart, 75, 0, 0, 215.9, 296.926},
  };
  // On systems before the capability dialect the device's line art and grey have the other
  // polarity; the frame is the same for every program, so those come out inverted.
  for (const SInt32 system : {kDefaultSystemVersion, SInt32(0x1028)})
    for (const Case& c : cases) {
      // That dialect's line-art width is rounded up to whole bytes, past the edge of the glass.
      if (system != kDefaultSystemVersion && c.mode == ScanMode::kLineart && c.r > 200) continue;
      SCOPED_TRACE(std::string(ModeName(c.mode)) + " " + std::to_string(c.dpi) + " dpi, " + std::to_string(c.l) + "," +
                   std::to_string(c.t) + " to " + std::to_string(c.r) + "," + std::to_string(c.b) + ", system " +
                   std::to_string(system));
      tarvell::SetSystemVersion(system);
      Choose(device, c.mode, c.dpi, c.l, c.t, c.r, c.b);
      const SANE_Parameters before = device->Parameters();
      ASSERT_GT(before.lines, 0);
      ASSERT_EQ(device->Start(), SANE_STATUS_GOOD);
      const SANE_Parameters after = device->Parameters();
      EXPECT_EQ(after.format, before.format);
      EXPECT_EQ(after.depth, before.depth);
      EXPECT_EQ(after.pixels_per_line, before.pixels_per_line);
      EXPECT_EQ(after.bytes_per_line, before.bytes_per_line);
      EXPECT_EQ(after.lines, before.lines);
      SANE_Status end = SANE_STATUS_GOOD;
      std::vector<SANE_Byte> frame = ReadFrame(device, 32768, &end);
      EXPECT_EQ(end, SANE_STATUS_EOF);
      ExpectChart(frame, after, backend->simulated()[0]->lastRequest(), system != kDefaultSystemVersion);
    }
  tarvell::SetSystemVersion(kDefaultSystemVersion);
}

TEST(SaneHost, ScansFollowOneAnotherWithAndWithoutCancel) {
  auto backend = MakeBackend("simulate\n");
  Device* device = nullptr;
  ASSERT_EQ(backend->Open("", &device), SANE_STATUS_GOOD);
  Choose(device, ScanMode::kGray, 75, 0, 0, 50, 50);
  const SANE_Parameters p = device->Parameters();
  for (int scan = 0; scan < 3; ++scan) {  // as a batch frontend does: start again after EOF
    ASSERT_EQ(device->Start(), SANE_STATUS_GOOD) << scan;
    SANE_Status end = SANE_STATUS_GOOD;
    EXPECT_EQ(ReadFrame(device, 1000, &end).size(), size_t(p.bytes_per_line * p.lines));
    EXPECT_EQ(end, SANE_STATUS_EOF);
    SANE_Int n = 0;
    SANE_Byte byte;
    EXPECT_EQ(device->Read(&byte, 1, &n), SANE_STATUS_EOF);  // and stays there
  }
  device->Cancel();

  // Cancelled in the middle: the next read says so, the next scan works.
  ASSERT_EQ(device->Start(), SANE_STATUS_GOOD);
  SANE_Byte buffer[100];
  SANE_Int n = 0;
  ASSERT_EQ(device->Read(buffer, sizeof buffer, &n), SANE_STATUS_GOOD);
  // A second start while the image is still being read is refused.
  EXPECT_EQ(device->Start(), SANE_STATUS_DEVICE_BUSY);
  device->Cancel();
  EXPECT_EQ(device->Read(buffer, sizeof buffer, &n), SANE_STATUS_CANCELLED);
  EXPECT_EQ(n, 0);
  ASSERT_EQ(device->Start(), SANE_STATUS_GOOD);
  SANE_Status end = SANE_STATUS_GOOD;
  EXPECT_EQ(ReadFrame(device, 4096, &end).size(), size_t(p.bytes_per_line * p.lines));
}

// Whether the device has had the job's "done" call (read while the next job may be running).
bool Done(const tarvell::sim::SimulatedScanner& scanner) { return scanner.jobsDone() > 0; }

// A paced scanner on a clock the test stops: it delivers at 1 byte a microsecond of a time that
// only runs up to the gate, so where the page stands is the test's to say, not the machine's.
class SaneHostStreaming : public ::testing::Test {
 protected:
  void SetUp() override {
    backend_ = MakeBackend("simulate pace=1M silence=10000\n", clock_);
    ASSERT_EQ(backend_->Open("", &device_), SANE_STATUS_GOOD);
    Choose(device_, ScanMode::kGray, 300, 0, 0, 50, 50);
    const SANE_Parameters p = device_->Parameters();
    bytes_ = size_t(p.bytes_per_line) * size_t(p.lines);
  }
  // The scanner may deliver `bytes` more of its stream (and wait no further).
  void Allow(size_t bytes) { clock_->SetGate(clock_->NowMicros() + bytes); }
  const tarvell::sim::SimulatedScanner& scanner() const { return *backend_->simulated()[0]; }

  std::shared_ptr<tarvell::testing::GateClock> clock_ = std::make_shared<tarvell::testing::GateClock>();
  std::unique_ptr<Backend> backend_;
  Device* device_ = nullptr;
  size_t bytes_ = 0;
};

TEST_F(SaneHostStreaming, RowsComeAsTheyCrossAndThePageEndsAtItsByteCount) {
  // The scanner stops half-way: the first rows are there before.
  Allow(bytes_ / 2);
  ASSERT_EQ(device_->Start(), SANE_STATUS_GOOD);
  std::vector<SANE_Byte> first(bytes_);
  SANE_Int n = 0;
  ASSERT_EQ(device_->Read(first.data(), SANE_Int(bytes_), &n), SANE_STATUS_GOOD);
  EXPECT_GT(n, 0);
  EXPECT_LE(scanner().streamedBytes(), scanner().streamSize() / 2);

  // The whole page may cross, but not the silence after it: the page ends at its byte count
  // while the job still waits for the device.
  Allow(2 * bytes_);
  SANE_Status end = SANE_STATUS_GOOD;
  std::vector<SANE_Byte> frame = ReadFrame(device_, 4096, &end);
  EXPECT_EQ(end, SANE_STATUS_EOF);
  EXPECT_EQ(size_t(n) + frame.size(), bytes_);
  clock_->AwaitHeld();
  EXPECT_FALSE(Done(scanner()));
  clock_->Open();

  // The next scan waits for that job's end (the device has all its calls) and gives the same rows.
  ASSERT_EQ(device_->Start(), SANE_STATUS_GOOD);
  EXPECT_TRUE(Done(scanner()));
  frame.insert(frame.begin(), first.begin(), first.begin() + n);
  EXPECT_EQ(ReadFrame(device_, 65536, &end), frame);
}

TEST_F(SaneHostStreaming, ACancelInTheMiddleOfAPageIsPromptAndTheNextScanIsWhole) {
  ASSERT_EQ(device_->Start(), SANE_STATUS_GOOD);
  SANE_Status end = SANE_STATUS_GOOD;
  const std::vector<SANE_Byte> reference = ReadFrame(device_, 65536, &end);
  ASSERT_EQ(reference.size(), bytes_);

  backend_->OnDriverThread([] {});  // that job has ended: its time is past
  Allow(bytes_ / 2);
  ASSERT_EQ(device_->Start(), SANE_STATUS_GOOD);
  SANE_Byte some[1000];
  SANE_Int n = 0;
  ASSERT_EQ(device_->Read(some, sizeof some, &n), SANE_STATUS_GOOD);
  device_->Cancel();  // with the scanner stopped in the middle of the page
  EXPECT_EQ(device_->Read(some, sizeof some, &n), SANE_STATUS_CANCELLED);
  EXPECT_EQ(n, 0);
  clock_->Open();
  ASSERT_EQ(device_->Start(), SANE_STATUS_GOOD);
  EXPECT_EQ(ReadFrame(device_, 65536, &end), reference);
}

TEST(SaneHost, ClosingInTheMiddleOfAPageCancelsItAndHoldsUpNoOtherDevice) {
  auto clock = std::make_shared<tarvell::testing::GateClock>();
  auto backend = MakeBackend("simulate pace=1M silence=10000\nsimulate pace=1M silence=10000\n", clock);
  Device *a = nullptr, *b = nullptr;
  ASSERT_EQ(backend->Open("", &a), SANE_STATUS_GOOD);
  ASSERT_EQ(backend->Open("", &b), SANE_STATUS_GOOD);
  Choose(a, ScanMode::kGray, 300, 0, 0, 50, 50);
  clock->SetGate(20000);
  ASSERT_EQ(a->Start(), SANE_STATUS_GOOD);
  std::thread closing([&] { backend->Close(a); });
  // The close holds the device's calls and waits for the page's job, stopped at the gate.
  while (backend->Find(a) != nullptr) std::this_thread::yield();
  while (a->calls().try_lock()) {
    a->calls().unlock();
    std::this_thread::yield();
  }
  Choose(b, ScanMode::kGray, 75, 0, 0, 50, 50);  // the other device answers meanwhile
  EXPECT_NE(backend->Find(b), nullptr);
  clock->Open();
  closing.join();
  EXPECT_TRUE(Done(*backend->simulated()[0]));  // the cancelled job had all its calls
}

TEST(SaneHost, AnEmptyAreaIsRefusedBeforeTheDriverIsAsked) {
  auto backend = MakeBackend("simulate\n");
  Device* device = nullptr;
  ASSERT_EQ(backend->Open("", &device), SANE_STATUS_GOOD);
  Choose(device, ScanMode::kColor, 150, 100, 100, 100, 200);
  EXPECT_EQ(device->Start(), SANE_STATUS_INVAL);
  EXPECT_TRUE(backend->simulated()[0]->calls().empty());
  SANE_Int n = 0;
  SANE_Byte byte;
  EXPECT_EQ(device->Read(&byte, 1, &n), SANE_STATUS_INVAL);
}

TEST(SaneHost, ADeviceThatSendsNoImageFailsTheScanAndStaysUsable) {
  auto backend = MakeBackend("simulate timeouts-before-data=100\n");
  Device* device = nullptr;
  ASSERT_EQ(backend->Open("", &device), SANE_STATUS_GOOD);
  Choose(device, ScanMode::kGray, 75, 0, 0, 20, 20);
  EXPECT_EQ(device->Start(), SANE_STATUS_IO_ERROR);
  EXPECT_FALSE(device->gone());
  backend->simulated()[0]->misbehave().timeoutsBeforeData = 0;
  EXPECT_EQ(device->Start(), SANE_STATUS_GOOD);
}

TEST(SaneHost, BrokenImagesFailTheScanAndNeverComeOutShortened) {
  // A page without a readable header fails to start; one that stops short fails at its end.
  for (const char* conf :
       {"simulate short-image-by=100\n", "simulate corrupt-header\n", "simulate exception-for=start\n"}) {
    SCOPED_TRACE(conf);
    auto backend = MakeBackend(conf);
    Device* device = nullptr;
    ASSERT_EQ(backend->Open("", &device), SANE_STATUS_GOOD);
    Choose(device, ScanMode::kColor, 75, 0, 0, 20, 20);
    const SANE_Parameters p = device->Parameters();
    SANE_Status end = device->Start();
    if (end == SANE_STATUS_GOOD) {
      EXPECT_LT(ReadFrame(device, 1000, &end).size(), size_t(p.bytes_per_line * p.lines));
    }
    EXPECT_EQ(end, SANE_STATUS_IO_ERROR);
    EXPECT_FALSE(device->gone());
    SANE_Int n = 0;
    SANE_Byte byte;
    EXPECT_NE(device->Read(&byte, 1, &n), SANE_STATUS_GOOD);
    backend->simulated()[0]->misbehave() = {};
    EXPECT_EQ(device->Start(), SANE_STATUS_GOOD);  // the backend stays usable
  }
}

TEST(SaneHost, ADeviceThatGoesAwayIsClosedAndAnswersIOError) {
  auto backend = MakeBackend("simulate gone-after-bytes=50000\n");
  Device* device = nullptr;
  ASSERT_EQ(backend->Open("", &device), SANE_STATUS_GOOD);
  Choose(device, ScanMode::kColor, 150, 0, 0, 100, 100);
  ASSERT_EQ(device->Start(), SANE_STATUS_GOOD);  // the header came before it went
  SANE_Status end = SANE_STATUS_GOOD;
  ReadFrame(device, 1000, &end);
  EXPECT_EQ(end, SANE_STATUS_IO_ERROR);
  EXPECT_TRUE(device->gone());
  EXPECT_EQ(device->Start(), SANE_STATUS_IO_ERROR);
  EXPECT_TRUE(backend->ListDevices().empty());
  Device* again = nullptr;
  EXPECT_EQ(backend->Open("", &again), SANE_STATUS_INVAL);
  backend->Close(device);
  EXPECT_EQ(backend->Find(device), nullptr);
}

}  // namespace
}  // namespace tarvell::sane
