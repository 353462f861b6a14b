// A page streamed from a paced simulated scanner on a clock the test stops (tests/support/
// GateClock.h): where the page stands is the test's to say, not the machine's.
#include "host/PageStream.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <thread>

#include "driver/ScannerCallbacks.h"
#include "host/HostBus.h"
#include "platform/ica/HostSteps.h"
#include "platform/ica/ScanSettings.h"
#include "platform/system/SystemInfo.h"
#include "tests/support/GateClock.h"

namespace tarvell::host {
namespace {

bool Readable(int fd) {
  pollfd ready{fd, POLLIN, 0};
  return poll(&ready, 1, 0) == 1;
}

class PageStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BusChoice choice;
    choice.simulated.resize(1);
    choice.simulated[0].pace = 1000000;  // a byte a microsecond of the gate clock's time
    choice.simulated[0].silenceMs = 10000;
    choice.clock = clock_;
    std::vector<std::string> problems;
    bus_ = HostBus::Install(choice, &problems);
    RegisterScannerCallbacks();
    const UInt32 location = choice.simulated[0].locationID;
    ASSERT_EQ(thread_.Call([&] { return tarvell::ica::OpenDeviceAt(location, &record_); }), noErr);
    tarvell::ica::ScanArea area;
    area.mode = tarvell::ica::ScanArea::kGray;
    area.width = area.height = 50;
    settings_ = tarvell::ica::MakeScanSettings(area, HostSystemVersion());
  }
  void TearDown() override {
    clock_->Open();
    thread_.Call([this] { tarvell::ica::CloseDevice(record_); });
  }
  std::shared_ptr<PageStream> Start(PagePatience patience = PagePatience()) {
    return PageStream::Start(thread_, record_, settings_, patience);
  }
  // The scanner may deliver `bytes` more of its stream (and wait no further).
  void Allow(size_t bytes) { clock_->SetGate(clock_->NowMicros() + bytes); }
  // Reads what is there without waiting; the result that ended it.
  static PageStream::Result ReadAvailable(PageStream& stream, size_t* total) {
    UInt8 buffer[4096];
    size_t n = 0;
    PageStream::Result result;
    while ((result = stream.Read(buffer, sizeof buffer, &n, false)) == PageStream::Result::kData) *total += n;
    return result;
  }

  std::shared_ptr<tarvell::testing::GateClock> clock_ = std::make_shared<tarvell::testing::GateClock>();
  std::unique_ptr<HostBus> bus_;
  DriverThread thread_;  // after the bus: gone before it
  ScannerObjectInfo* record_ = nullptr;
  plist::DictionaryRef settings_;
};

TEST_F(PageStreamTest, ACancelWakesAReaderInSelectAndStaysVisibleAfterReads) {
  Allow(20000);
  auto stream = Start();
  PageFormat format;
  ASSERT_TRUE(stream->WaitForFormat(&format));
  clock_->AwaitHeld();  // what comes before the gate has come
  size_t total = 0;
  ASSERT_EQ(ReadAvailable(*stream, &total), PageStream::Result::kWouldBlock);
  ASSERT_FALSE(Readable(stream->readyFd()));

  std::thread frontend([&] {
    pollfd ready{stream->readyFd(), POLLIN, 0};
    poll(&ready, 1, -1);  // as a frontend waits in select with the scanner stopped
  });
  stream->Cancel();
  frontend.join();
  for (int i = 0; i < 3; ++i) {  // reads and their drains never take the cancel's wake-up away
    EXPECT_EQ(ReadAvailable(*stream, &total), PageStream::Result::kCancelled);
    EXPECT_TRUE(Readable(stream->readyFd()));
  }
  EXPECT_FALSE(stream->WaitForFormat(&format));
}

TEST_F(PageStreamTest, AfterACancelTheRestOfThePageIsDroppedAsItArrives) {
  Allow(100000);
  auto stream = Start();
  PageFormat format;
  ASSERT_TRUE(stream->WaitForFormat(&format));
  clock_->AwaitHeld();
  EXPECT_GT(stream->queued(), 0u);
  stream->Cancel();
  clock_->Open();
  ASSERT_TRUE(stream->WaitUntilDone());
  EXPECT_EQ(stream->queued(), 0u);
  EXPECT_EQ(bus_->scanners()[0]->streamedBytes(), bus_->scanners()[0]->streamSize());  // the job ran to its end
}

TEST_F(PageStreamTest, ADeviceThatStopsAnsweringEndsEveryWaitWithAnError) {
  const std::chrono::milliseconds none(0), long_(std::chrono::hours(1));
  {
    Allow(0);  // stopped before the image
    auto stream = Start({none, long_});
    PageFormat format;
    EXPECT_FALSE(stream->WaitForFormat(&format));
    EXPECT_NE(stream->why().find("stopped answering"), std::string::npos) << stream->why();
    EXPECT_FALSE(stream->WaitUntilDone());
    clock_->Open();
    thread_.Call([] {});  // the job's end
  }
  Allow(20000);  // stopped within the image
  auto stream = Start({long_, none});
  PageFormat format;
  ASSERT_TRUE(stream->WaitForFormat(&format));
  clock_->AwaitHeld();
  UInt8 buffer[4096];
  size_t n = 0, total = 0;
  PageStream::Result result;
  while ((result = stream->Read(buffer, sizeof buffer, &n, true)) == PageStream::Result::kData) total += n;
  EXPECT_EQ(result, PageStream::Result::kFailed);
  EXPECT_LT(total, format.bytes());
  EXPECT_EQ(stream->queued(), 0u);
}

}  // namespace
}  // namespace tarvell::host
