#include "platform/ica/HostSteps.h"

#include <gtest/gtest.h>

#include "tests/platform/ica/FakeModule.h"

namespace {

using namespace tarvell::ica;

using HostStepsTest = FakeModuleTest;

TEST_F(HostStepsTest, DevicesOpenLocationZeroFirstThenWhatWasFound) {
  module_.devices = {0x01100000, 0x01200000};
  std::vector<ScannerObjectInfo*> opened;
  ASSERT_EQ(OpenFoundDevices(false, &opened), noErr);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0]->uniqueID, 0x01100000u);
  EXPECT_EQ(module_.calls, (std::vector<std::string>{"open 0", "open 17825792"}));

  module_.calls.clear();
  ASSERT_EQ(OpenFoundDevices(true, &opened), noErr);
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(opened[1]->uniqueID, 0x01200000u);
  EXPECT_EQ(module_.calls, (std::vector<std::string>{"open 0", "open 18874368", "open 0"}));
  // Each device has a record of its own that the host knows.
  EXPECT_EQ(FindObjectRecord(opened[1]->icaObject), opened[1]);
}

TEST_F(HostStepsTest, NothingFoundOrNothingOpened) {
  std::vector<ScannerObjectInfo*> opened;
  EXPECT_EQ(OpenFoundDevices(true, &opened), fnfErr);
  module_.devices = {0x01100000};
  module_.failing = {0x01100000};
  EXPECT_EQ(OpenFoundDevices(true, &opened), paramErr);
  EXPECT_TRUE(opened.empty());
  // A module that finds the same device again and again is not asked forever.
  module_.failing.clear();
  module_.forgetful = true;
  EXPECT_EQ(OpenFoundDevices(true, &opened), noErr);
  EXPECT_EQ(opened.size(), 64u);
}

TEST_F(HostStepsTest, SessionAndParameterStepsCallTheModule) {
  ScannerObjectInfo* device = nullptr;
  ASSERT_EQ(OpenDeviceAt(0x01100000, &device), noErr);
  EXPECT_EQ(OpenSession(device), noErr);
  plist::DictionaryRef caps;
  EXPECT_EQ(GetParameters(device, &caps), noErr);
  ASSERT_TRUE(caps);
  EXPECT_TRUE(caps->Has("device"));
  plist::DictionaryRef settings = plist::MakeDictionary();
  settings->Set("userScanArea", plist::MakeDictionary());
  EXPECT_EQ(SetParameters(device, settings), noErr);
  EXPECT_EQ(CloseSession(device), noErr);
  const ICAObject object = device->icaObject;
  EXPECT_EQ(CloseDevice(device), noErr);
  EXPECT_EQ(FindObjectRecord(object), nullptr);
  EXPECT_EQ(module_.calls, (std::vector<std::string>{"open 17825792", "open session", "get parameters", "set areas",
                                                     "close session", "cleanup", "close"}));
}

TEST_F(HostStepsTest, AScanIsStartedReadAndDeleted) {
  ScannerObjectInfo* device = nullptr;
  ASSERT_EQ(OpenDeviceAt(0x01100000, &device), noErr);
  ScannerObjectInfo* file = nullptr;
  ASSERT_EQ(Start(device, &file), noErr);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->dataSize, 4u);
  char bytes[4];
  UInt32 length = 2;
  EXPECT_EQ(ReadFileData(file, kICAFile, bytes, 0, &length), noErr);
  EXPECT_EQ(ReadFileData(file, kICAFile, bytes + 2, 2, &length), noErr);
  EXPECT_EQ(std::string(bytes, 4), "TIFF");
  const ICAObject object = file->icaObject;
  EXPECT_EQ(DeleteFile(file), noErr);
  EXPECT_EQ(FindObjectRecord(object), nullptr);
  EXPECT_EQ(module_.calls,
            (std::vector<std::string>{"open 17825792", "start", "describe 0", "read 0", "read 2", "delete"}));
}

TEST_F(HostStepsTest, AFailedOpenLeavesNoRecord) {
  module_.failing = {0x01100000};
  ScannerObjectInfo* device = nullptr;
  EXPECT_EQ(OpenDeviceAt(0x01100000, &device), paramErr);
  EXPECT_EQ(device, nullptr);
  EXPECT_EQ(FindObjectRecord(0x100), nullptr);
}

TEST_F(HostStepsTest, MissingCallbacksAreReported) {
  std::memset(&gICDScannerCallbackFunctions, 0, sizeof gICDScannerCallbackFunctions);
  ScannerObjectInfo record;
  std::vector<ScannerObjectInfo*> opened;
  plist::DictionaryRef dict;
  EXPECT_EQ(OpenFoundDevices(true, &opened), unimpErr);
  EXPECT_EQ(OpenDeviceAt(1, nullptr), unimpErr);
  EXPECT_EQ(OpenSession(&record), unimpErr);
  EXPECT_EQ(CloseSession(&record), unimpErr);
  EXPECT_EQ(GetParameters(&record, &dict), unimpErr);
  EXPECT_EQ(SetParameters(&record, dict), unimpErr);
  EXPECT_EQ(CloseDevice(&record), unimpErr);
  UInt32 length = 0;
  EXPECT_EQ(Start(&record), unimpErr);
  EXPECT_EQ(ReadFileData(&record, kICAFile, nullptr, 0, &length), unimpErr);
  EXPECT_EQ(DeleteFile(&record), unimpErr);
}

}  // namespace
