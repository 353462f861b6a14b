#include <cstring>

#include "sim/SimulatedScanner.h"
#include "tests/driver/DriverTestFixture.h"

namespace {

using tarvell::ica::Recorded;
using tarvell::usb::SimOp;

class DeviceTableTest : public DriverTest {};

TEST_F(DeviceTableTest, SearchWithNoScannerAsksForNothing) {
  ScannerObjectInfo probe;
  EXPECT_EQ(_ICD_ScannerOpenDevice(0, &probe), fnfErr);
  EXPECT_TRUE(Recorded().newUSBDevice.empty());
  EXPECT_TRUE(log_.contains("_ICD_ScannerOpenDevice()"));
  EXPECT_TRUE(log_.contains(" > locationID = 0x0...\n"));
  EXPECT_TRUE(log_.contains("FindDeviceNotOnMap()"));
  EXPECT_TRUE(log_.contains(" > newLocationID = 0...\n"));
  EXPECT_TRUE(gType1Map.empty());
  EXPECT_EQ(probe.privateData, nullptr);
}

TEST_F(DeviceTableTest, SearchFindsTheScannerAndTheHostOpensIt) {
  PlugScanner();
  ScannerObjectInfo probe;
  EXPECT_EQ(_ICD_ScannerOpenDevice(0, &probe), fnfErr);
  ASSERT_EQ(Recorded().newUSBDevice, std::vector<UInt32>{kLocation});
  EXPECT_TRUE(gType1Map.empty());  // the search itself opens nothing
  EXPECT_TRUE(log_.contains(" > FindDeviceNotOnMap: found device with locationID 17825792\n"));
  EXPECT_TRUE(log_.contains(" > FindDeviceNotOnMap: found new device\n"));
  EXPECT_TRUE(log_.contains(" > newLocationID = 1100000...\n"));
  // The identity check opened the device and closed it again.
  EXPECT_EQ(bus_->CallsOf(SimOp::DeviceOpen).size(), 1u);
  EXPECT_EQ(bus_->CallsOf(SimOp::DeviceClose).size(), 1u);
  EXPECT_EQ(bus_->LiveObjects(), 0);

  ScannerObjectInfo record;
  std::strcpy(record.name, "stale");
  record.dataWidth = 77;  // fields the module does not own stay as the host gave them
  ASSERT_EQ(_ICD_ScannerOpenDevice(kLocation, &record), noErr);
  ASSERT_EQ(gType1Map.size(), 1u);
  CSimpleScanner* scanner = gType1Map.at(kLocation).get();
  EXPECT_EQ(record.privateData, scanner);
  EXPECT_EQ(record.objectType, kICADevice);
  EXPECT_EQ(record.objectSubtype, kICADeviceScanner);
  EXPECT_EQ(record.uniqueID, kLocation);
  EXPECT_EQ(record.thumbnailSize, 9229u);
  EXPECT_EQ(record.dataSize, 0u);
  EXPECT_EQ(record.flags, 0u);
  EXPECT_EQ(record.dataWidth, 77u);
  EXPECT_STREQ(record.name, "Tarvell K310 (USB)");
  EXPECT_TRUE(scanner->m_opened);
}

TEST_F(DeviceTableTest, AnOpenScannerIsNotFoundAgainNorOpenedTwice) {
  PlugScanner();
  ScannerObjectInfo* device = OpenScanner();
  ASSERT_TRUE(device);
  CSimpleScanner* first = Scanner(device);
  log_.clear();

  ScannerObjectInfo probe;
  EXPECT_EQ(_ICD_ScannerOpenDevice(0, &probe), fnfErr);
  EXPECT_TRUE(log_.contains(" > ERROR: locationID already exist in map!\n"));
  EXPECT_TRUE(log_.contains(" > newLocationID = 0...\n"));
  EXPECT_TRUE(Recorded().newUSBDevice.empty());
  EXPECT_EQ(FindDeviceNotOnMap(), 0u);

  log_.clear();
  ScannerObjectInfo again;
  EXPECT_EQ(_ICD_ScannerOpenDevice(kLocation, &again), fnfErr);
  EXPECT_TRUE(log_.contains(" > ERROR: locationID already exist in map!\n"));
  EXPECT_EQ(again.privateData, nullptr);
  ASSERT_EQ(gType1Map.size(), 1u);
  EXPECT_EQ(gType1Map.at(kLocation).get(), first);
  EXPECT_TRUE(first->m_opened);
}

TEST_F(DeviceTableTest, OfTwoScannersTheFirstIsTakenAndTheSecondNotLookedAt) {
  PlugScanner(kLocation);
  PlugScanner(kSecondLocation);
  EXPECT_EQ(FindDeviceNotOnMap(), kLocation);
  EXPECT_EQ(bus_->CallsOf(SimOp::GetVendor).size(), 1u);
  // With the first open, the next search skips it and finds the second.
  ASSERT_TRUE(OpenScanner(kLocation));
  EXPECT_EQ(FindDeviceNotOnMap(), kSecondLocation);
  // The host's order opens both, one search each.
  gType1Map.clear();
  std::vector<ScannerObjectInfo*> opened;
  EXPECT_EQ(tarvell::ica::OpenFoundDevices(true, &opened), noErr);
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(opened[0]->uniqueID, kLocation);
  EXPECT_EQ(opened[1]->uniqueID, kSecondLocation);
  EXPECT_EQ(gType1Map.size(), 2u);
}

TEST_F(DeviceTableTest, ForeignDevicesAreSkippedVendorFirst) {
  tarvell::usb::SimDeviceSpec other = tarvell::sim::MakeK310(0x02100000);
  other.vendorID = 0x1234;
  other.productID = 0x0001;
  bus_->AddDevice(other);
  tarvell::usb::SimDeviceSpec sibling = tarvell::sim::MakeK310(0x02200000);
  sibling.productID = 0x0C5B;
  bus_->AddDevice(sibling);
  EXPECT_EQ(FindDeviceNotOnMap(), 0u);
  EXPECT_TRUE(log_.contains(" > ERROR: FindDeviceNotOnMap: found non matching device, vendor: 0x1234\n"));
  EXPECT_TRUE(log_.contains(" > ERROR: FindDeviceNotOnMap: found non matching device: 0x0c5b\n"));
  // The wrong vendor's product is never read; the sibling's is.
  EXPECT_EQ(bus_->CallsOf(SimOp::GetProduct).size(), 1u);
  EXPECT_EQ(bus_->CallsOf(SimOp::DeviceClose).size(), 2u);  // each opened device closed again

  PlugScanner();
  log_.clear();
  EXPECT_EQ(FindDeviceNotOnMap(), kLocation);
  EXPECT_EQ(bus_->LiveObjects(), 0);
}

TEST_F(DeviceTableTest, EachFailureOnTheWaySkipsOnlyThatDevice) {
  PlugScanner(kLocation);
  PlugScanner(kSecondLocation);
  struct Case {
    SimOp op;
    IOReturn status;
    const char* message;
  } cases[] = {
      {SimOp::CreatePlugIn, kIOReturnError,
       " > ERROR: FindDeviceNotOnMap: unable to create plugin. ret = e00002bc, iodev = (nil)\n"},
      {SimOp::CreatePlugIn, kIOReturnSuccess,  // success without a plug-in
       " > ERROR: FindDeviceNotOnMap: unable to create plugin. ret = 00000000, iodev = (nil)\n"},
      {SimOp::QueryDevice, kIOReturnNoMemory,
       " > ERROR: FindDeviceNotOnMap: unable to create a device interface. ret = e00002bd, dev = "
       "(nil)\n"},
      {SimOp::DeviceOpen, kIOReturnExclusiveAccess,
       " > ERROR: FindDeviceNotOnMap: unable to open device. ret = 0xe00002c5\n"},
      {SimOp::GetVendor, kIOReturnNoDevice,
       " > ERROR: FindDeviceNotOnMap: found non matching device, vendor: 0x0000\n"},
      {SimOp::GetProduct, kIOReturnNoDevice, " > ERROR: FindDeviceNotOnMap: found non matching device: 0x0000\n"},
      {SimOp::GetLocationID, kIOReturnNoDevice,
       " > ERROR: FindDeviceNotOnMap: unable to get location id for the device\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(tarvell::usb::SimOpName(c.op));
    log_.clear();
    bus_->FailNext(c.op, 1, c.status);
    EXPECT_EQ(FindDeviceNotOnMap(), kSecondLocation);
    EXPECT_TRUE(log_.contains(c.message));
    EXPECT_EQ(bus_->LiveObjects(), 0);
    EXPECT_EQ(bus_->OpenObjects(), 0);
  }
}

TEST_F(DeviceTableTest, AFailureBeforeTheFirstServiceEndsTheSearch) {
  PlugScanner();
  bus_->FailNext(SimOp::CreateMasterPort, 1, kIOReturnNoResources);
  EXPECT_EQ(FindDeviceNotOnMap(), 0u);
  EXPECT_TRUE(log_.contains(" > ERROR: FindDeviceNotOnMap: could not create master port, err = e00002be\n"));
  bus_->FailNext(SimOp::CreateMatching, 1, kIOReturnError);
  EXPECT_EQ(FindDeviceNotOnMap(), 0u);
  EXPECT_TRUE(log_.contains(" > ERROR: FindDeviceNotOnMap: could not create matching dictionary\n"));
  bus_->FailNext(SimOp::GetMatchingServices, 1, kIOReturnError);
  EXPECT_EQ(FindDeviceNotOnMap(), 0u);
  EXPECT_EQ(FindDeviceNotOnMap(), kLocation);
  EXPECT_EQ(bus_->LiveObjects(), 0);
}

TEST_F(DeviceTableTest, AScannerThatCannotBeOpenedIsDestroyedAndNotEntered) {
  // No device at all at the location.
  ScannerObjectInfo record;
  EXPECT_EQ(_ICD_ScannerOpenDevice(kLocation, &record), paramErr);
  EXPECT_TRUE(log_.contains(" > ERROR: _ICD_ScannerOpenDevice> err = -50, reason = 1\n"));
  EXPECT_TRUE(gType1Map.empty());
  EXPECT_EQ(record.privateData, nullptr);
  EXPECT_EQ(record.objectType, 0u);

  // The interface refuses to open.
  PlugScanner();
  bus_->FailNext(SimOp::InterfaceOpen, 1, kIOReturnExclusiveAccess);
  EXPECT_EQ(_ICD_ScannerOpenDevice(kLocation, &record), paramErr);
  EXPECT_TRUE(gType1Map.empty());
  EXPECT_EQ(bus_->LiveObjects(), 0);

  // A transfer buffer cannot be allocated: the half-built scanner goes, its interface closed.
  tarvell::testing::FailNext(tarvell::ScannerCall::kAllocateBuffer, 2);
  EXPECT_EQ(_ICD_ScannerOpenDevice(kLocation, &record), paramErr);
  tarvell::testing::FailNext(tarvell::ScannerCall::kAllocateBuffer, 0);
  EXPECT_TRUE(gType1Map.empty());
  EXPECT_EQ(bus_->OpenObjects(), 0);
  EXPECT_EQ(bus_->LiveObjects(), 0);

  // And then it opens.
  EXPECT_EQ(_ICD_ScannerOpenDevice(kLocation, &record), noErr);
  EXPECT_EQ(gType1Map.size(), 1u);
}

TEST_F(DeviceTableTest, ClosingADeviceRecordDestroysItsScanner) {
  PlugScanner();
  ScannerObjectInfo* device = OpenScanner();
  ASSERT_TRUE(device);
  EXPECT_EQ(bus_->OpenObjects(), 1);  // the scanner's interface
  log_.clear();
  EXPECT_EQ(_ICD_ScannerCloseDevice(device), noErr);
  EXPECT_TRUE(log_.contains("_ICD_ScannerCloseDevice()"));
  EXPECT_TRUE(log_.contains("~CSimpleScanner()"));
  EXPECT_TRUE(gType1Map.empty());
  EXPECT_EQ(bus_->OpenObjects(), 0);
  EXPECT_EQ(bus_->LiveObjects(), 0);
  // The same record again: its scanner is gone and is not followed; still 0.
  EXPECT_EQ(_ICD_ScannerCloseDevice(device), noErr);
  EXPECT_EQ(ScannerFromRecord(device), nullptr);
  // The device can be opened anew.
  EXPECT_TRUE(OpenScanner());
}

TEST_F(DeviceTableTest, ClosingBadRecordsIsRefusedAndChangesNothing) {
  PlugScanner();
  ScannerObjectInfo* device = OpenScanner();
  ASSERT_TRUE(device);
  EXPECT_EQ(_ICD_ScannerCloseDevice(nullptr), paramErr);
  ScannerObjectInfo file = *device;
  file.objectType = kICAFile;
  file.objectSubtype = kICAFileImage;
  EXPECT_EQ(_ICD_ScannerCloseDevice(&file), paramErr);
  ScannerObjectInfo empty = *device;
  empty.privateData = nullptr;
  EXPECT_EQ(_ICD_ScannerCloseDevice(&empty), paramErr);
  EXPECT_EQ(gType1Map.size(), 1u);
  EXPECT_TRUE(Scanner(device)->m_opened);
}

TEST_F(DeviceTableTest, CleanupOnlyLogs) {
  PlugScanner();
  ScannerObjectInfo* device = OpenScanner();
  EXPECT_EQ(_ICD_ScannerCleanup(device), noErr);
  EXPECT_EQ(_ICD_ScannerCleanup(nullptr), noErr);
  EXPECT_TRUE(log_.contains("_ICD_ScannerCleanup()"));
  EXPECT_EQ(gType1Map.size(), 1u);
}

}  // namespace
