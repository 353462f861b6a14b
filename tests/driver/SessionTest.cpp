#include "tests/driver/DriverTestFixture.h"

namespace {

class SessionTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    PlugScanner();
    device_ = OpenScanner();
    ASSERT_TRUE(device_);
  }
  ScannerObjectInfo* device_ = nullptr;
};

TEST_F(SessionTest, OpeningASessionEmptiesTheAreasAndSelectsLineArt) {
  CSimpleScanner* scanner = Scanner(device_);
  scanner->m_scanAreas.reset(new ScanningParamBlock[2]());
  scanner->m_scanAreaCount = 2;
  EXPECT_EQ(tarvell::ica::OpenSession(device_), noErr);
  EXPECT_EQ(scanner->m_scanAreas, nullptr);
  EXPECT_EQ(scanner->m_scanAreaCount, 0);
  ASSERT_TRUE(scanner->m_resolutions);
  EXPECT_EQ(*scanner->m_resolutions, (std::vector<SInt16>{75, 150, 200, 300, 400, 600}));
  ScanningParamBlock p;
  scanner->GetScanningParameters(&p);
  EXPECT_EQ(p.mainScanRes, 600u);
  EXPECT_EQ(p.mainScanLen, 5100u);
  EXPECT_EQ(p.subScanLen, 7014u);
  EXPECT_EQ(p.colorMode, 0);
  EXPECT_EQ(p.dataFormat, 1);
  EXPECT_TRUE(log_.contains("_ICD_ScannerOpenSession()"));
}

TEST_F(SessionTest, InitializeResetsWithoutTouchingTheAreas) {
  CSimpleScanner* scanner = Scanner(device_);
  ASSERT_EQ(tarvell::ica::OpenSession(device_), noErr);
  plist::DictionaryRef dict = plist::MakeDictionary();
  dict->Set("userScanArea", plist::MakeDictionary());
  ASSERT_EQ(tarvell::ica::SetParameters(device_, dict), noErr);
  ScanningParamBlock p{};
  p.mainScanRes = 75;
  scanner->SetScanningParameters(&p);
  ICD_ScannerInitializePB pb;
  EXPECT_EQ(_ICD_ScannerInitialize(device_, &pb), noErr);
  EXPECT_EQ(scanner->m_scanAreaCount, 1);
  scanner->GetScanningParameters(&p);
  EXPECT_EQ(p.mainScanRes, 600u);
  EXPECT_EQ(p.dataFormat, 1);
}

TEST_F(SessionTest, ClosingTheSessionFreesTheAreas) {
  ASSERT_EQ(tarvell::ica::OpenSession(device_), noErr);
  plist::DictionaryRef dict = plist::MakeDictionary();
  dict->Set("userScanArea", plist::MakeDictionary());
  ASSERT_EQ(tarvell::ica::SetParameters(device_, dict), noErr);
  EXPECT_EQ(tarvell::ica::CloseSession(device_), noErr);
  EXPECT_EQ(Scanner(device_)->m_scanAreas, nullptr);
  EXPECT_EQ(Scanner(device_)->m_scanAreaCount, 0);
}

TEST_F(SessionTest, StatusIsTheScannersAndBadRecordsAreRefused) {
  ICD_ScannerStatusPB pb;
  EXPECT_EQ(_ICD_ScannerStatus(device_, &pb), -9900);
  ScannerObjectInfo stranger;
  int dummy = 0;
  stranger.privateData = &dummy;  // not a scanner of this module
  for (const ScannerObjectInfo* record :
       {static_cast<const ScannerObjectInfo*>(nullptr), static_cast<const ScannerObjectInfo*>(&stranger)}) {
    EXPECT_EQ(_ICD_ScannerOpenSession(record, &pb), paramErr);
    EXPECT_EQ(_ICD_ScannerCloseSession(record, &pb), paramErr);
    EXPECT_EQ(_ICD_ScannerInitialize(record, &pb), paramErr);
    EXPECT_EQ(_ICD_ScannerStatus(record, &pb), paramErr);
  }
}

}  // namespace
