#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/driver/ScanTestFixture.h"

namespace {

using tarvell::ica::HostCall;
using tarvell::ica::Recorded;

class FileObjectsTest : public ScanTest {
 protected:
  // A device with a 64 x 48 colour scan held and announced.
  void Scan() {
    device_ = OpenSimulated();
    ASSERT_TRUE(device_);
    SetArea(device_, 300, 1, 8, 0, 0, 64, 48);
    ASSERT_EQ(Start(device_), noErr);
    file_ = FileRecord(device_);
    ASSERT_NE(file_, nullptr);
  }

  ICAError Read(const ScannerObjectInfo* record, OSType type, void* buffer, UInt32 offset, UInt32* count) {
    return _ICD_ScannerReadFileData(record, type, buffer, offset, count);
  }

  static ICAError Send(const ScannerObjectInfo* record, OSType type, ICDCompletion completion,
                       ICD_ScannerObjectSendMessagePB* pb) {
    pb->message.messageType = type;
    return _ICD_ScannerSendMessage(record, pb, completion);
  }

  static void Completed(ICDHeader* header) { completions_.push_back(header); }

  ScannerObjectInfo* device_ = nullptr;
  ScannerObjectInfo* file_ = nullptr;
  static std::vector<ICDHeader*> completions_;
};
std::vector<ICDHeader*> FileObjectsTest::completions_;

TEST_F(FileObjectsTest, DescriptionNeedsAHeldScanAndIndexZero) {
  device_ = OpenSimulated();
  ASSERT_TRUE(device_);
  ScannerObjectInfo info;
  // Before any scan, whatever the index.
  EXPECT_EQ(_ICD_ScannerGetObjectInfo(device_, 0, &info), kICAIndexOutOfRangeErr);
  EXPECT_TRUE(log_.contains(" > kICAIndexOutOfRangeErr - bailing...\n"));
  EXPECT_EQ(Scanner(device_)->m_deviceObject, device_->icaObject);
  EXPECT_EQ(_ICD_ScannerGetObjectInfo(nullptr, 0, &info), paramErr);

  SetArea(device_, 300, 0, 8, 0, 0, 64, 48);
  ASSERT_EQ(Start(device_), noErr);
  file_ = FileRecord(device_);
  ASSERT_NE(file_, nullptr);
  // Only a device record can be asked about its children.
  EXPECT_EQ(_ICD_ScannerGetObjectInfo(file_, 0, &info), paramErr);
  log_.clear();
  EXPECT_EQ(_ICD_ScannerGetObjectInfo(device_, 1, &info), kICAIndexOutOfRangeErr);
  EXPECT_TRUE(log_.contains(" > kICAIndexOutOfRangeErr\n"));

  EXPECT_EQ(file_->objectType, kICAFile);
  EXPECT_EQ(file_->objectSubtype, kICAFileImage);
  EXPECT_EQ(file_->uniqueID, 0u);
  EXPECT_EQ(file_->thumbnailSize, 0u);
  EXPECT_EQ(file_->dataSize, Scanner(device_)->m_tiffSize);
  EXPECT_EQ(file_->dataWidth, 64u);
  EXPECT_EQ(file_->dataHeight, 48u);
  EXPECT_STREQ(file_->name, "scan20040307_090502.tiff");
  EXPECT_EQ(file_->flags, 0u);
  EXPECT_EQ(file_->privateData, Scanner(device_));
}

TEST_F(FileObjectsTest, ReadsServeAnyPieceInsideTheFileAndNothingOutside) {
  Scan();
  const CSimpleScanner* scanner = Scanner(device_);
  const UInt32 size = scanner->m_tiffSize;
  ASSERT_GT(size, 200u);

  // Pieces of any length put the file back together.
  std::vector<UInt8> whole(size, 0);
  for (UInt32 offset = 0; offset < size;) {
    UInt32 count = std::min<UInt32>(size - offset, 1000 + offset % 7);
    ASSERT_EQ(Read(file_, kICAFile, whole.data() + offset, offset, &count), noErr);
    offset += count;
  }
  EXPECT_EQ(std::memcmp(whole.data(), scanner->m_tiffData.get(), size), 0);

  std::vector<UInt8> buffer(200, 0xAB);
  UInt32 count = 100;
  EXPECT_EQ(Read(file_, kICAFile, buffer.data(), size - 100, &count), noErr);
  EXPECT_EQ(count, 100u);
  EXPECT_EQ(std::memcmp(buffer.data(), scanner->m_tiffData.get() + size - 100, 100), 0);
  // One byte past the end, a start past the end, and counts that would wrap around 32 bits.
  std::fill(buffer.begin(), buffer.end(), 0xAB);
  const struct {
    UInt32 offset, count;
  } outside[] = {{size - 99, 100}, {size + 1, 0}, {0xFFFFFF00u, 0x200}, {16, 0xFFFFFFF8u}};
  for (const auto& o : outside) {
    count = o.count;
    EXPECT_EQ(Read(file_, kICAFile, buffer.data(), o.offset, &count), paramErr) << o.offset;
    EXPECT_EQ(count, o.count);
  }
  EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0xAB), 200);
  EXPECT_TRUE(log_.contains("  ERROR: _ICD_ScannerReadFileData returns err = -50\n"));
  count = 0;
  EXPECT_EQ(Read(file_, kICAFile, nullptr, size, &count), noErr);

  // A data type the file does not have.
  count = 10;
  EXPECT_EQ(Read(file_, FourCC("abcd"), buffer.data(), 0, &count), paramErr);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(Read(nullptr, kICAFile, buffer.data(), 0, &count), paramErr);
}

TEST_F(FileObjectsTest, ThumbnailsComeFromTheDeviceRecordOnly) {
  Scan();
  std::vector<UInt8> record(kICAThumbnailRecordSize, 0);
  UInt32 count = UInt32(record.size());
  EXPECT_EQ(Read(file_, kICAThumbnailData, record.data(), 0, &count), paramErr);
  ASSERT_EQ(Read(device_, kICAThumbnailData, record.data(), 0, &count), noErr);
  const auto* thumbnail = reinterpret_cast<const ICAThumbnail*>(record.data());
  EXPECT_EQ(thumbnail->width, kICAThumbnailSide);
  EXPECT_EQ(thumbnail->height, kICAThumbnailSide);
  EXPECT_EQ(thumbnail->dataSize, kICAThumbnailDataSize);
}

TEST_F(FileObjectsTest, DeleteMessageFreesTheFileOnceAndTellsTheHost) {
  Scan();
  CSimpleScanner* scanner = Scanner(device_);
  const ICAObject object = scanner->m_fileObject;
  completions_.clear();
  ICD_ScannerObjectSendMessagePB pb;

  // Not a file: refused, no completion.
  EXPECT_EQ(Send(device_, kICAMessageDelete, Completed, &pb), paramErr);
  EXPECT_EQ(pb.header.err, paramErr);
  EXPECT_TRUE(completions_.empty());
  EXPECT_TRUE(log_.contains("  ERROR: _ICD_ScannerSendMessage err: -50\n"));

  const size_t before = Recorded().notifications.size();
  EXPECT_EQ(Send(file_, kICAMessageDelete, Completed, &pb), noErr);
  EXPECT_EQ(pb.header.err, noErr);
  ASSERT_EQ(completions_.size(), 1u);
  EXPECT_EQ(completions_[0], &pb.header);
  EXPECT_FALSE(scanner->m_tiffData);
  EXPECT_EQ(scanner->m_fileObject, 0u);
  ASSERT_EQ(Recorded().notifications.size(), before + 1);
  EXPECT_EQ(Recorded().notifications.back().object, object);
  EXPECT_EQ(Recorded().notifications.back().eventClass, kICAMessageDelete);
  // The file is gone for readers and for the description.
  UInt32 count = 10;
  UInt8 byte[10];
  EXPECT_EQ(Read(file_, kICAFile, byte, 0, &count), paramErr);
  ScannerObjectInfo info;
  EXPECT_EQ(_ICD_ScannerGetObjectInfo(device_, 0, &info), kICAIndexOutOfRangeErr);

  // A second delete does nothing.
  EXPECT_EQ(Send(file_, kICAMessageDelete, Completed, &pb), noErr);
  EXPECT_EQ(Recorded().notifications.size(), before + 1);
}

TEST_F(FileObjectsTest, FailedDeleteNotificationKeepsTheObjectForAnotherTry) {
  Scan();
  CSimpleScanner* scanner = Scanner(device_);
  const ICAObject object = scanner->m_fileObject;
  ICD_ScannerObjectSendMessagePB pb;
  tarvell::testing::FailNext(HostCall::kInitiateNotification, 1, -9998, tarvell::testing::Fails::kFromThenOn);
  EXPECT_EQ(Send(file_, kICAMessageDelete, nullptr, &pb), -9998);
  EXPECT_FALSE(scanner->m_tiffData);
  EXPECT_EQ(scanner->m_fileObject, object);
  tarvell::testing::FailNext(HostCall::kInitiateNotification, 0, noErr);
  EXPECT_EQ(Send(file_, kICAMessageDelete, nullptr, &pb), noErr);
  EXPECT_EQ(scanner->m_fileObject, 0u);
}

TEST_F(FileObjectsTest, OtherMessagesAndMissingScanners) {
  Scan();
  completions_.clear();
  ICD_ScannerObjectSendMessagePB pb;
  EXPECT_EQ(Send(device_, kICAMessageConnect, Completed, &pb), noErr);
  EXPECT_EQ(completions_.size(), 1u);
  EXPECT_EQ(Send(device_, kICAMessageConnect, nullptr, &pb), noErr);

  EXPECT_EQ(Send(device_, FourCC("what"), Completed, &pb), paramErr);
  EXPECT_EQ(static_cast<SInt32>(pb.result), paramErr);
  EXPECT_EQ(completions_.size(), 1u);

  ScannerObjectInfo orphan;
  orphan.objectType = kICAFile;
  EXPECT_EQ(Send(&orphan, kICAMessageDelete, Completed, &pb), paramErr);
  EXPECT_TRUE(log_.contains(" > ERROR: handler is nil\n"));
  EXPECT_EQ(_ICD_ScannerSendMessage(nullptr, &pb, Completed), paramErr);
  EXPECT_EQ(completions_.size(), 1u);
}

TEST_F(FileObjectsTest, DevicePropertiesAnnounceDeleteSupport) {
  Scan();
  plist::DictionaryRef dict = plist::MakeDictionary();
  EXPECT_EQ(_ICD_ScannerAddPropertiesToCFDictionary(device_, dict.get()), noErr);
  plist::ArrayRef capa = plist::AsArray(dict->Get("capa"));
  ASSERT_TRUE(capa);
  ASSERT_EQ(capa->Count(), 1u);
  plist::NumberRef code = plist::AsNumber(capa->At(0));
  ASSERT_TRUE(code);
  EXPECT_EQ(static_cast<OSType>(code->AsInt32()), kICAMessageDelete);

  // A key already there stays; file records get nothing.
  plist::DictionaryRef other = plist::MakeDictionary();
  other->Set("capa", plist::MakeString("host's own"));
  EXPECT_EQ(_ICD_ScannerAddPropertiesToCFDictionary(device_, other.get()), noErr);
  EXPECT_TRUE(plist::AsString(other->Get("capa")));
  plist::DictionaryRef fileDict = plist::MakeDictionary();
  EXPECT_EQ(_ICD_ScannerAddPropertiesToCFDictionary(file_, fileDict.get()), noErr);
  EXPECT_FALSE(fileDict->Has("capa"));
  EXPECT_EQ(_ICD_ScannerAddPropertiesToCFDictionary(nullptr, fileDict.get()), noErr);
}

TEST_F(FileObjectsTest, PropertiesWritesAndTheButtonPoll) {
  Scan();
  ICD_ScannerGetPropertyDataPB get;
  EXPECT_EQ(_ICD_ScannerGetPropertyData(device_, &get), noErr);
  ASSERT_EQ(Recorded().propertyRequests.size(), 1u);
  EXPECT_EQ(Recorded().propertyRequests[0], device_->icaObject);
  tarvell::testing::FailNext(HostCall::kGetStandardPropertyData, 1, -9906, tarvell::testing::Fails::kFromThenOn);
  EXPECT_EQ(_ICD_ScannerGetPropertyData(device_, &get), -9906);
  EXPECT_EQ(_ICD_ScannerGetPropertyData(nullptr, &get), paramErr);

  ICD_ScannerSetPropertyDataPB set;
  EXPECT_EQ(_ICD_ScannerSetPropertyData(device_, &set), paramErr);
  UInt8 byte = 0;
  UInt32 count = 1;
  EXPECT_EQ(_ICD_ScannerWriteFileData(file_, kICAFile, &byte, 0, &count), paramErr);
  EXPECT_TRUE(log_.contains("_ICD_ScannerWriteFileData()"));

  // The scanner reports no button event: nothing reaches the host, every tick.
  log_.clear();
  for (int tick = 0; tick < 3; ++tick) EXPECT_EQ(_ICD_ScannerPeriodicTask(device_), noErr);
  EXPECT_TRUE(Recorded().scanEvents.empty());
  EXPECT_FALSE(log_.contains("_ICD_ScannerPeriodicTask()"));
  EXPECT_EQ(_ICD_ScannerPeriodicTask(nullptr), paramErr);
}

}  // namespace
