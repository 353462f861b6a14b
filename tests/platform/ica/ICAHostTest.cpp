#include "platform/ica/ICAHost.h"
#include "platform/ica/ICAHostTesting.h"

#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

namespace {

using tarvell::ica::HostCall;
using tarvell::ica::Recorded;

class ICAHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tarvell::ica::ResetHost();
    saved_ = gICDScannerCallbackFunctions;
  }
  void TearDown() override {
    gICDScannerCallbackFunctions = saved_;
    tarvell::ica::ResetHost();
    for (const std::string& path : files_) std::remove(path.c_str());
  }

  // Writes a w x h RGBA PNG with libpng whose pixel (x, y) is (x, y, x + y, 255).
  std::string WritePng(png_uint_32 w, png_uint_32 h) {
    std::vector<png_byte> pixels(w * h * 4);
    for (png_uint_32 y = 0; y < h; ++y)
      for (png_uint_32 x = 0; x < w; ++x) {
        png_byte* p = &pixels[(y * w + x) * 4];
        p[0] = png_byte(x);
        p[1] = png_byte(y);
        p[2] = png_byte(x + y);
        p[3] = 255;
      }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = w;
    image.height = h;
    image.format = PNG_FORMAT_RGBA;
    std::string path = TempPath(".png");
    EXPECT_TRUE(png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), 0, nullptr));
    return path;
  }
  std::string TempPath(const char* suffix) {
    std::string path =
        testing::TempDir() + "ica_host_test_" + std::to_string(getpid()) + "_" + std::to_string(files_.size()) + suffix;
    files_.push_back(path);
    return path;
  }

  ICD_ScannerCallbackFunctions saved_;
  std::vector<std::string> files_;
};

TEST_F(ICAHostTest, HostCallsRecordWhatTheyWereGiven) {
  EXPECT_EQ(TEMP_NewUSBDevice(0x01100000), noErr);
  EXPECT_EQ(Recorded().newUSBDevice, std::vector<UInt32>{0x01100000});
  EXPECT_EQ(tarvell::ica::TakeDeviceRequests(), std::vector<UInt32>{0x01100000});
  EXPECT_TRUE(tarvell::ica::TakeDeviceRequests().empty());

  UInt32 cookie1 = 0, cookie2 = 0;
  EXPECT_EQ(ICDScannerCreateEventDataCookie(0x101, &cookie1), noErr);
  EXPECT_EQ(ICDScannerCreateEventDataCookie(0x102, &cookie2), noErr);
  EXPECT_NE(cookie1, cookie2);
  EXPECT_EQ(Recorded().cookies, (std::vector<ICAObject>{0x101, 0x102}));

  ICD_ScannerNotificationPB block;
  block.object = 0x101;
  block.notificationType = kICANotificationTypeExtended;
  block.eventClass = kICAEventObjectAdded;
  block.eventDataCookie = cookie1;
  EXPECT_EQ(ICDScannerInitiateNotificationCallback(&block), noErr);
  ASSERT_EQ(Recorded().notifications.size(), 1u);
  EXPECT_EQ(Recorded().notifications[0].eventClass, FourCC("eoba"));
  EXPECT_EQ(Recorded().notifications[0].eventDataCookie, cookie1);
  EXPECT_EQ(ICDScannerInitiateNotificationCallback(nullptr), paramErr);

  EXPECT_EQ(USBDeviceSendScanEventNotification(0x01200000), noErr);
  EXPECT_EQ(Recorded().scanEvents, std::vector<UInt32>{0x01200000});

  ScannerObjectInfo info;
  info.icaObject = 0x55;
  ICD_ScannerGetPropertyDataPB pb;
  pb.actualSize = 9;
  EXPECT_EQ(ICDScannerGetStandardPropertyData(&info, &pb), noErr);
  EXPECT_EQ(pb.actualSize, 0u);
  EXPECT_EQ(Recorded().propertyRequests, std::vector<ICAObject>{0x55});
}

TEST_F(ICAHostTest, EveryHostCallCanBeMadeToFail) {
  tarvell::testing::FailNext(HostCall::kNewUSBDevice, 1, -1, tarvell::testing::Fails::kFromThenOn);
  tarvell::testing::FailNext(HostCall::kNewObjectInfoCreated, 1, -2, tarvell::testing::Fails::kFromThenOn);
  tarvell::testing::FailNext(HostCall::kCreateEventDataCookie, 1, -3, tarvell::testing::Fails::kFromThenOn);
  tarvell::testing::FailNext(HostCall::kInitiateNotification, 1, -5, tarvell::testing::Fails::kFromThenOn);
  tarvell::testing::FailNext(HostCall::kGetStandardPropertyData, 1, -6, tarvell::testing::Fails::kFromThenOn);
  tarvell::testing::FailNext(HostCall::kSendScanEventNotification, 1, -7, tarvell::testing::Fails::kFromThenOn);
  tarvell::testing::FailNext(HostCall::kCopyDeviceInfoDictionary, 1, -8, tarvell::testing::Fails::kFromThenOn);
  tarvell::testing::FailNext(HostCall::kCreateThumbnail, 1, -9, tarvell::testing::Fails::kFromThenOn);
  ScannerObjectInfo device;
  ICAObject object = 77;
  UInt32 cookie = 77;
  ICD_ScannerNotificationPB block;
  ICD_ScannerGetPropertyDataPB pb;
  plist::DictionaryRef dict = plist::MakeDictionary();
  std::vector<UInt8> buffer(kICAThumbnailRecordSize);
  EXPECT_EQ(TEMP_NewUSBDevice(1), -1);
  EXPECT_TRUE(tarvell::ica::TakeDeviceRequests().empty());
  EXPECT_EQ(ICDScannerNewObjectInfoCreated(&device, 0, &object), -2);
  EXPECT_EQ(object, 77u);
  EXPECT_EQ(ICDScannerCreateEventDataCookie(1, &cookie), -3);
  EXPECT_EQ(cookie, 77u);
  EXPECT_EQ(ICDScannerInitiateNotificationCallback(&block), -5);
  EXPECT_EQ(ICDScannerGetStandardPropertyData(&device, &pb), -6);
  EXPECT_EQ(USBDeviceSendScanEventNotification(1), -7);
  EXPECT_EQ(ICDScannerCopyDeviceInfoDictionary("x", &dict), -8);
  EXPECT_EQ(dict, nullptr);
  EXPECT_EQ(ICDScannerCreateICAThumbnailFromICNS(tarvell::ica::ShippedIconFile().c_str(),
                                                 reinterpret_cast<ICAThumbnail*>(buffer.data())),
            -9);
  // Calls are recorded even when they fail.
  EXPECT_EQ(Recorded().newObjects.size(), 1u);
  EXPECT_EQ(Recorded().newObjects[0].described, -2);
  tarvell::testing::FailNext(HostCall::kNewUSBDevice, 0, noErr);
  EXPECT_EQ(TEMP_NewUSBDevice(1), noErr);
}

ICAError DescribeAsFile(const ScannerObjectInfo* parent, UInt32 index, ScannerObjectInfo* info) {
  info->objectType = kICAFile;
  info->uniqueID = index;
  info->privateData = parent->privateData;
  return noErr;
}

TEST_F(ICAHostTest, ANewObjectIsDescribedByTheModuleAtOnce) {
  gICDScannerCallbackFunctions.scannerGetObjectInfo = DescribeAsFile;
  ScannerObjectInfo* device = tarvell::ica::NewObjectRecord();
  int marker = 0;
  device->privateData = &marker;
  ICAObject object = 0;
  ASSERT_EQ(ICDScannerNewObjectInfoCreated(device, 0, &object), noErr);
  ScannerObjectInfo* file = tarvell::ica::FindObjectRecord(object);
  ASSERT_TRUE(file);
  EXPECT_NE(object, device->icaObject);
  EXPECT_EQ(file->objectType, kICAFile);
  EXPECT_EQ(file->privateData, &marker);
  ASSERT_EQ(Recorded().newObjects.size(), 1u);
  EXPECT_EQ(Recorded().newObjects[0].parent, device->icaObject);
  EXPECT_EQ(Recorded().newObjects[0].object, object);
  EXPECT_EQ(Recorded().newObjects[0].described, noErr);
  tarvell::ica::ForgetObjectRecord(object);
  EXPECT_EQ(tarvell::ica::FindObjectRecord(object), nullptr);

  // Without the callback the host notes that nothing described it.
  gICDScannerCallbackFunctions.scannerGetObjectInfo = nullptr;
  ASSERT_EQ(ICDScannerNewObjectInfoCreated(device, 0, &object), noErr);
  EXPECT_EQ(Recorded().newObjects.back().described, unimpErr);
}

TEST_F(ICAHostTest, DeviceInformationNamesTheShippedIcon) {
  const std::string icon = tarvell::ica::ShippedIconFile();
  ASSERT_FALSE(icon.empty());
  EXPECT_EQ(access(icon.c_str(), R_OK), 0);
  plist::DictionaryRef info;
  ASSERT_EQ(ICDScannerCopyDeviceInfoDictionary("Tarvell K310 (USB)", &info), noErr);
  ASSERT_TRUE(info);
  EXPECT_EQ(plist::AsString(info->Get("icon file"))->value(), icon);
  tarvell::ica::SetDeviceInfo(true);
  EXPECT_EQ(ICDScannerCopyDeviceInfoDictionary("Tarvell K310 (USB)", &info), noErr);
  EXPECT_EQ(info, nullptr);
}

TEST_F(ICAHostTest, IconsOfOtherSizesAreScaledTo48) {
  std::vector<UInt8> buffer(kICAThumbnailRecordSize + 8, 0xEE);
  auto* thumbnail = reinterpret_cast<ICAThumbnail*>(buffer.data());
  // 96 x 24: every second column, every half row.
  ASSERT_EQ(ICDScannerCreateICAThumbnailFromICNS(WritePng(96, 24).c_str(), thumbnail), noErr);
  EXPECT_EQ(thumbnail->width, 48u);
  EXPECT_EQ(thumbnail->height, 48u);
  EXPECT_EQ(thumbnail->dataSize, 9216u);
  auto pixel = [&](int x, int y) { return &thumbnail->data[(y * 48 + x) * 4]; };
  EXPECT_EQ(pixel(10, 7)[0], 20);  // source column 20
  EXPECT_EQ(pixel(10, 7)[1], 3);   // source row 3
  EXPECT_EQ(pixel(47, 47)[0], 94);
  EXPECT_EQ(pixel(47, 47)[1], 23);
  EXPECT_EQ(pixel(47, 47)[3], 255);
  EXPECT_EQ(buffer[kICAThumbnailRecordSize], 0xEE);
  // A 1 x 1 icon fills the whole thumbnail.
  ASSERT_EQ(ICDScannerCreateICAThumbnailFromICNS(WritePng(1, 1).c_str(), thumbnail), noErr);
  EXPECT_EQ(pixel(47, 0)[3], 255);
}

TEST_F(ICAHostTest, FilesThatAreNotIconsAreRefused) {
  std::vector<UInt8> buffer(kICAThumbnailRecordSize, 0xEE);
  auto* thumbnail = reinterpret_cast<ICAThumbnail*>(buffer.data());
  EXPECT_EQ(ICDScannerCreateICAThumbnailFromICNS("/nonexistent.png", thumbnail), fnfErr);
  EXPECT_EQ(ICDScannerCreateICAThumbnailFromICNS("", thumbnail), paramErr);
  EXPECT_EQ(ICDScannerCreateICAThumbnailFromICNS(nullptr, thumbnail), paramErr);
  std::string text = TempPath(".png");
  FILE* f = std::fopen(text.c_str(), "wb");
  std::fputs("not a picture", f);
  std::fclose(f);
  EXPECT_NE(ICDScannerCreateICAThumbnailFromICNS(text.c_str(), thumbnail), noErr);
  // A PNG cut short after its header.
  std::string whole = WritePng(48, 48);
  std::string cut = TempPath(".png");
  FILE* in = std::fopen(whole.c_str(), "rb");
  std::vector<char> bytes(4096);
  size_t n = std::fread(bytes.data(), 1, bytes.size(), in);
  std::fclose(in);
  FILE* out = std::fopen(cut.c_str(), "wb");
  std::fwrite(bytes.data(), 1, n / 2, out);
  std::fclose(out);
  EXPECT_NE(ICDScannerCreateICAThumbnailFromICNS(cut.c_str(), thumbnail), noErr);
  EXPECT_EQ(Recorded().thumbnailRequests.size(), 5u);
}

}  // namespace
