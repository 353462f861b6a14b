// A page streamed from a paced simulated scanner on a clock the test stops (GateClock): where the
// page stands is the test's to say, not the machine's.
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

using Result = PageStream::Result;
using std::chrono::milliseconds;

bool Readable(int fd, int wait = 0) {
  pollfd ready{fd, POLLIN, 0};
  return poll(&ready, 1, wait) == 1;
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
    const UInt32 at = choice.simulated[0].locationID;
    ASSERT_EQ(thread_.Call([&] { return tarvell::ica::OpenDeviceAt(at, &record_); }), noErr);
  }
  void TearDown() override {
    clock_->Open();
    thread_.Call([this] { tarvell::ica::CloseDevice(record_); });
  }
  // A 50 mm grey page whose scanner stops `bytes` into its stream; returns once it waits there.
  std::shared_ptr<PageStream> Start(size_t bytes, PagePatience patience = PagePatience()) {
    tarvell::ica::ScanArea area;
    area.mode = tarvell::ica::ScanArea::kGray;
    area.width = area.height = 50;
    clock_->SetGate(clock_->NowMicros() + bytes);
    auto stream =
        PageStream::Start(thread_, record_, tarvell::ica::MakeScanSettings(area, HostSystemVersion()), patience);
    clock_->AwaitHeld();
    return stream;
  }
  // Reads until a read gives no bytes; that read's result.
  static Result ReadAll(PageStream& stream, bool block, size_t* total) {
    UInt8 buffer[4096];
    size_t n = 0;
    Result result;
    while ((result = stream.Read(buffer, sizeof buffer, &n, block)) == Result::kData) *total += n;
    return result;
  }

  std::shared_ptr<tarvell::testing::GateClock> clock_ = std::make_shared<tarvell::testing::GateClock>();
  std::unique_ptr<HostBus> bus_;
  DriverThread thread_;  // after the bus: gone before it
  ScannerObjectInfo* record_ = nullptr;
};

TEST_F(PageStreamTest, ACancelWakesAReaderInSelectForGoodAndTheJobRunsToItsEnd) {
  auto stream = Start(20000);
  size_t total = 0;
  ASSERT_EQ(ReadAll(*stream, false, &total), Result::kWouldBlock);
  ASSERT_FALSE(Readable(stream->readyFd()));
  std::thread frontend([&] { Readable(stream->readyFd(), -1); });  // in select, the scanner stopped
  stream->Cancel();
  frontend.join();
  for (int i = 0; i < 2; ++i) {  // reads and their drains never take the wake-up away
    EXPECT_EQ(ReadAll(*stream, false, &total), Result::kCancelled);
    EXPECT_TRUE(Readable(stream->readyFd()));
  }
  clock_->Open();
  ASSERT_TRUE(stream->WaitUntilDone());
  EXPECT_EQ(stream->queued(), 0u);
  EXPECT_EQ(bus_->scanners()[0]->streamedBytes(), bus_->scanners()[0]->streamSize());
}

TEST_F(PageStreamTest, ADeviceThatStopsAnsweringEndsEveryWaitWithAnError) {
  const milliseconds none(0), hour(std::chrono::hours(1));
  PageFormat format;
  {
    auto stream = Start(0, {none, hour});  // stopped before the image
    EXPECT_FALSE(stream->WaitForFormat(&format));
    EXPECT_NE(stream->why().find("stopped answering"), std::string::npos) << stream->why();
    EXPECT_FALSE(stream->WaitUntilDone());
    clock_->Open();
    thread_.Call([] {});
  }
  auto stream = Start(20000, {hour, none});  // stopped within the image
  ASSERT_TRUE(stream->WaitForFormat(&format));
  size_t total = 0;
  EXPECT_EQ(ReadAll(*stream, true, &total), Result::kFailed);
  EXPECT_LT(total, format.bytes());
  EXPECT_EQ(stream->queued(), 0u);
}

}  // namespace
}  // namespace tarvell::host
