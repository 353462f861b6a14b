// The scanner's thumbnail, made by the host from the icon it ships.
#include <gtest/gtest.h>
#include <png.h>

#include <memory>
#include <vector>

#include "driver/ScannerCallbacks.h"
#include "platform/ica/ICAHostTesting.h"
#include "platform/system/Log.h"
#include "platform/usb/SimBus.h"
#include "sim/SimulatedScanner.h"
#include "usb/CSimpleScanner.h"

namespace {

using tarvell::ica::HostCall;

class ThumbnailTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bus_ = tarvell::usb::SimBus::Create();
    tarvell::usb::SetActiveBus(bus_);
    tarvell::ica::ResetHost();
    bus_->AddDevice(tarvell::sim::MakeK310(0x01100000));
    scanner_ = std::make_unique<CSimpleScanner>(0x01100000);
    ASSERT_TRUE(scanner_->m_opened);
    buffer_.assign(kDeviceThumbnailSize, 0xEE);
    size_ = kDeviceThumbnailSize;
  }
  void TearDown() override {
    scanner_.reset();
    tarvell::ica::ResetHost();
    tarvell::usb::SetActiveBus(nullptr);
  }
  ICAThumbnail* record() { return reinterpret_cast<ICAThumbnail*>(buffer_.data()); }

  std::shared_ptr<tarvell::usb::SimBus> bus_;
  tarvell::LogCapture log_;
  std::unique_ptr<CSimpleScanner> scanner_;
  std::vector<UInt8> buffer_;
  UInt32 size_ = 0;
};

TEST_F(ThumbnailTest, TheShippedIconBecomesA48By48Thumbnail) {
  ASSERT_EQ(scanner_->GetVolumeThumbnail(buffer_.data(), &size_), 0);
  EXPECT_EQ(record()->width, 48u);
  EXPECT_EQ(record()->height, 48u);
  EXPECT_EQ(record()->dataSize, 9216u);
  EXPECT_EQ(tarvell::ica::Recorded().deviceInfoRequests, std::vector<std::string>{"Tarvell K310 (USB)"});
  // The pixels are the icon's, read independently with libpng.
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  const std::string icon = tarvell::ica::ShippedIconFile();
  ASSERT_TRUE(png_image_begin_read_from_file(&image, icon.c_str()));
  image.format = PNG_FORMAT_RGBA;
  std::vector<UInt8> pixels(PNG_IMAGE_SIZE(image));
  ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr));
  ASSERT_EQ(pixels.size(), 9216u);
  EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), record()->data));
  // Nothing written past the record.
  EXPECT_EQ(buffer_[kDeviceThumbnailSize - 1], 0xEE);
  EXPECT_TRUE(log_.contains("GetVolumeThumbnail()"));
}

TEST_F(ThumbnailTest, MissingInformationOrIconIsRefused) {
  tarvell::ica::SetDeviceInfo(true);
  EXPECT_EQ(scanner_->GetVolumeThumbnail(buffer_.data(), &size_), paramErr);
  tarvell::ica::SetDeviceInfo(false, std::string());
  EXPECT_EQ(scanner_->GetVolumeThumbnail(buffer_.data(), &size_), paramErr);
  // The size fields were set before the icon was looked up.
  EXPECT_EQ(record()->dataSize, 9216u);
  tarvell::ica::SetDeviceInfo(false, std::string("/nonexistent/icon.png"));
  EXPECT_EQ(scanner_->GetVolumeThumbnail(buffer_.data(), &size_), fnfErr);
  tarvell::ica::SetDeviceInfo(false);
  tarvell::testing::FailNext(HostCall::kCopyDeviceInfoDictionary, 1, -108, tarvell::testing::Fails::kFromThenOn);
  EXPECT_EQ(scanner_->GetVolumeThumbnail(buffer_.data(), &size_), -108);
}

TEST_F(ThumbnailTest, ABufferTooSmallForTheRecordIsNotWritten) {
  UInt32 small = kICAThumbnailRecordSize - 1;
  EXPECT_EQ(scanner_->GetVolumeThumbnail(buffer_.data(), &small), paramErr);
  EXPECT_EQ(buffer_[0], 0xEE);
  EXPECT_EQ(scanner_->GetVolumeThumbnail(nullptr, &size_), paramErr);
  EXPECT_TRUE(tarvell::ica::Recorded().deviceInfoRequests.empty());
}

}  // namespace
