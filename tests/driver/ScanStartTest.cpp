#include <tiffio.h>

#include <cstdio>
#include <string>
#include <vector>

#include "element/Elements.h"
#include "tests/driver/ScanTestFixture.h"
#include "xml/XMLSAXParser.h"

namespace {

using tarvell::ica::HostCall;
using tarvell::ica::Recorded;
using tarvell::usb::SimCall;
using tarvell::usb::SimOp;

// The requests the host wrote, parsed back.
std::vector<std::unique_ptr<Element>> SentMessages(const tarvell::usb::SimBus& bus) {
  std::vector<std::unique_ptr<Element>> out;
  for (const SimCall& c : bus.CallsOf(SimOp::WritePipe)) {
    EXPECT_GE(c.data.size(), 8u);
    if (c.data.size() < 8) continue;
    const std::string text(c.data.begin() + 8, c.data.end());
    XMLSAXParser parser;
    EXPECT_EQ(parser.parseMessage(text.data(), int(text.size())), 0) << text;
    out.push_back(parser.takeResult());
  }
  return out;
}

int IntAt(Element* e, std::initializer_list<const char*> path) {
  for (const char* name : path) e = e->getChild(name);
  return e->intValue();
}

Element* ParameterMap(Element* message) {
  Element* list = message->getChild("params");
  for (unsigned i = 0; i < list->getNumChildren(); ++i)
    if (list->getChildRaw(i)->instanceOf("MapElem")) return list->getChildRaw(i);
  return nullptr;
}

// One area in the capability dialect, as the host sends it.
plist::DictionaryRef CapabilityArea(SInt32 pixelType, SInt32 depth, SInt32 res, SInt32 offsetX, SInt32 offsetY,
                                    SInt32 width, SInt32 height) {
  auto one = [](SInt32 v) {
    plist::DictionaryRef r = plist::MakeDictionary();
    r->Set("type", plist::MakeString("TWON_ONEVALUE"));
    r->Set("value", plist::MakeInteger(v));
    return r;
  };
  plist::DictionaryRef area = plist::MakeDictionary();
  area->Set("ICAP_PIXELTYPE", one(pixelType));
  area->Set("ICAP_BITDEPTH", one(depth));
  area->Set("ICAP_XRESOLUTION", one(res));
  area->Set("ICAP_YRESOLUTION", one(res));
  area->Set("offsetX", plist::MakeInteger(offsetX));
  area->Set("offsetY", plist::MakeInteger(offsetY));
  area->Set("width", plist::MakeInteger(width));
  area->Set("height", plist::MakeInteger(height));
  plist::DictionaryRef dict = plist::MakeDictionary();
  dict->Set("userScanArea", area);
  return dict;
}

// Reads the held TIFF back with libtiff: width, height, samples and bits.
struct TiffFacts {
  uint32_t width = 0, height = 0;
  uint16_t spp = 0, bps = 0;
};
TiffFacts ReadBack(const CSimpleScanner& scanner) {
  TiffFacts facts;
  char path[] = "/tmp/scanstart-XXXXXX";
  int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  if (fd < 0) return facts;
  FILE* f = fdopen(fd, "wb");
  std::fwrite(scanner.m_tiffData.get(), 1, scanner.m_tiffSize, f);
  std::fclose(f);
  if (TIFF* tif = TIFFOpen(path, "r")) {
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &facts.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &facts.height);
    TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &facts.spp);
    TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &facts.bps);
    TIFFClose(tif);
  }
  std::remove(path);
  return facts;
}

class ScanStartTest : public ScanTest {};

TEST_F(ScanStartTest, AreasDecideWhetherAndHowMuchIsScanned) {
  ICD_ScannerStartPB pb;
  EXPECT_EQ(_ICD_ScannerStart(nullptr, &pb), paramErr);
  ScannerObjectInfo* device = OpenSimulated();
  ASSERT_TRUE(device);
  // A session starts with no areas.
  EXPECT_EQ(Start(device), paramErr);
  EXPECT_TRUE(log_.contains("_ICD_ScannerStart()"));

  // A mode and depth the scanner has no size for.
  SetArea(device, 300, 0, 24, 0, 0, 100, 50);
  EXPECT_EQ(Start(device), paramErr);

  // An empty area scans nothing and announces nothing.
  bus_->ClearCalls();
  SetArea(device, 300, 1, 8, 0, 0, 0, 50);
  EXPECT_EQ(Start(device), noErr);
  EXPECT_TRUE(log_.contains(" > imageDataSize = 0\n"));
  EXPECT_TRUE(bus_->CallsOf(SimOp::WritePipe).empty());
  EXPECT_TRUE(Recorded().newObjects.empty());

  // The expected sizes of the log: colour three bytes a pixel, line art whole bytes a row.
  SetArea(device, 300, 1, 8, 0, 0, 100, 50);
  EXPECT_EQ(Start(device), noErr);
  EXPECT_TRUE(log_.contains(" > imageDataSize = 15000\n"));
  EXPECT_TRUE(log_.contains(" > after scanning, imageDataSize = 15000\n"));
  SetArea(device, 300, 0, 1, 0, 0, 100, 50);
  EXPECT_EQ(Start(device), noErr);
  EXPECT_TRUE(log_.contains(" > imageDataSize = 600\n"));
  EXPECT_EQ(Scanner(device)->m_imageWidth, 100u);
  EXPECT_EQ(Scanner(device)->m_imageHeight, 50u);
}

// The worked settings, given to the host callbacks as a user's scan area, on the wire.
TEST_F(ScanStartTest, WorkedSettingsReachTheWireThroughTheHostCallbacks) {
  struct Case {
    SInt32 pixelType, depth, res, offsetX, offsetY, width, height;
    int resolution, bitdepth, contentType, mediaSize, left, top, right, bottom;
    UInt32 imageWidth, imageHeight;
  } cases[] = {
      // Colour 300 dpi letter.
      {2, 8, 300, 0, 0, 2550, 3300, 300, 24, 2, 2, 0, 0, 2550, 3300, 2550, 3300},
      // Colour 600 dpi: the device is asked for 300 dpi and sends half the pixels each way.
      {2, 8, 600, 0, 0, 5100, 7014, 300, 24, 2, 2, 0, 0, 2550, 3507, 2550, 3507},
      // Grey 100 dpi: the next resolution up, the window scaled by 1.5 (half an inch in is
      // 50 pixels at 100 dpi, 75 at 150).
      {1, 8, 100, 300, 300, 200, 300, 150, 8, 1, 12, 75, 75, 375, 525, 300, 450},
      // Line art 600 dpi: no cap at 8 bits.
      {0, 1, 600, 0, 0, 800, 600, 600, 8, 0, 12, 0, 0, 800, 600, 800, 600},
  };
  ScannerObjectInfo* device = OpenSimulated();
  ASSERT_TRUE(device);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.res);
    bus_->ClearCalls();
    ICD_ScannerSetParametersPB set;
    set.theDict = CapabilityArea(c.pixelType, c.depth, c.res, c.offsetX, c.offsetY, c.width, c.height);
    ASSERT_EQ(_ICD_ScannerSetParameters(device, &set), noErr);
    ASSERT_EQ(Start(device), noErr);

    const auto sent = SentMessages(*bus_);
    ASSERT_EQ(sent.size(), 5u);
    const char* methods[] = {"enterHostUSBSendMode", "create", "start", "done", "exitHostUSBSendMode"};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(sent[i]->getChild("method")->stringValue(), methods[i]);
    // The job the device created is the one started and finished.
    const std::string job = sent[2]->getChild("objName")->stringValue();
    EXPECT_EQ(job.compare(0, 3, "Job"), 0) << job;
    EXPECT_EQ(sent[3]->getChild("objName")->stringValue(), job + ".scanJob");
    for (int i = 0; i < 2; ++i) {
      Element* map = ParameterMap(sent[i].get());
      ASSERT_NE(map, nullptr);
      EXPECT_EQ(IntAt(map, {"scanParameters", "resolution"}), c.resolution);
      EXPECT_EQ(IntAt(map, {"scanParameters", "bitdepth"}), c.bitdepth);
      EXPECT_EQ(IntAt(map, {"scanParameters", "contentType"}), c.contentType);
      EXPECT_EQ(IntAt(map, {"scanParameters", "originalMediaSize"}), c.mediaSize);
      EXPECT_EQ(IntAt(map, {"scanParameters", "scanWindow", "topLeft", "x"}), c.left);
      EXPECT_EQ(IntAt(map, {"scanParameters", "scanWindow", "topLeft", "y"}), c.top);
      EXPECT_EQ(IntAt(map, {"scanParameters", "scanWindow", "bottomRight", "x"}), c.right);
      EXPECT_EQ(IntAt(map, {"scanParameters", "scanWindow", "bottomRight", "y"}), c.bottom);
    }
    // The file describes the image that came back, not the area asked for.
    ScannerObjectInfo* file = FileRecord(device);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->dataWidth, c.imageWidth);
    EXPECT_EQ(file->dataHeight, c.imageHeight);
    const TiffFacts facts = ReadBack(*Scanner(device));
    EXPECT_EQ(facts.width, c.imageWidth);
    EXPECT_EQ(facts.height, c.imageHeight);
    EXPECT_EQ(facts.spp, c.pixelType == 2 ? 3 : 1);
    EXPECT_EQ(facts.bps, c.depth == 1 ? 1 : 8);
  }
}

TEST_F(ScanStartTest, ANewFileIsAnnouncedAndASecondScanRemovesTheFirstBeforeAddingItself) {
  ScannerObjectInfo* device = OpenSimulated();
  ASSERT_TRUE(device);
  SetArea(device, 300, 1, 8, 0, 0, 120, 80);
  ASSERT_EQ(Start(device), noErr);
  CSimpleScanner* scanner = Scanner(device);
  ASSERT_EQ(Recorded().newObjects.size(), 1u);
  const ICAObject first = Recorded().newObjects[0].object;
  EXPECT_EQ(Recorded().newObjects[0].parent, device->icaObject);
  EXPECT_EQ(Recorded().newObjects[0].described, noErr);
  EXPECT_EQ(scanner->m_fileObject, first);
  EXPECT_EQ(scanner->m_deviceObject, device->icaObject);
  ASSERT_EQ(Recorded().notifications.size(), 1u);
  {
    const ICD_ScannerNotificationPB& n = Recorded().notifications[0];
    EXPECT_EQ(n.object, first);
    EXPECT_EQ(n.notificationType, kICANotificationTypeExtended);
    EXPECT_EQ(n.notificationField3 | n.notificationField4 | n.notificationField6 | n.notificationField7, 0u);
    EXPECT_EQ(n.eventClass, kICAEventObjectAdded);
    EXPECT_NE(n.eventDataCookie, 0u);
    EXPECT_EQ(n.deviceObject, device->icaObject);
  }
  const UInt32 firstSize = scanner->m_tiffSize;

  SetArea(device, 300, 0, 8, 0, 0, 60, 40);
  ASSERT_EQ(Start(device), noErr);
  ASSERT_EQ(Recorded().notifications.size(), 3u);
  const ICD_ScannerNotificationPB& removed = Recorded().notifications[1];
  const ICD_ScannerNotificationPB& added = Recorded().notifications[2];
  EXPECT_EQ(removed.object, first);
  EXPECT_EQ(removed.eventClass, kICAMessageDelete);
  EXPECT_EQ(added.eventClass, kICAEventObjectAdded);
  EXPECT_NE(added.object, first);
  EXPECT_EQ(added.object, scanner->m_fileObject);
  EXPECT_NE(removed.eventDataCookie, added.eventDataCookie);
  EXPECT_NE(scanner->m_tiffSize, firstSize);
  EXPECT_EQ(ReadBack(*scanner).width, 60u);
}

// A scan that yields no usable image keeps what the earlier scan left and announces nothing.
TEST_F(ScanStartTest, FailedScansAnnounceNothingAndKeepTheEarlierFile) {
  ScannerObjectInfo* device = OpenSimulated();
  ASSERT_TRUE(device);
  CSimpleScanner* scanner = Scanner(device);
  SetArea(device, 300, 1, 8, 0, 0, 64, 64);
  ASSERT_EQ(Start(device), noErr);
  const UInt8* held = scanner->m_tiffData.get();
  const UInt32 heldSize = scanner->m_tiffSize;
  const ICAObject heldObject = scanner->m_fileObject;
  const size_t notifications = Recorded().notifications.size();
  auto unchanged = [&] {
    EXPECT_EQ(scanner->m_tiffData.get(), held);
    EXPECT_EQ(scanner->m_tiffSize, heldSize);
    EXPECT_EQ(scanner->m_fileObject, heldObject);
    EXPECT_EQ(Recorded().notifications.size(), notifications);
    EXPECT_EQ(Recorded().newObjects.size(), 1u);
  };

  // Fewer pixel bytes than the header promises: the conversion fails.
  sim_->misbehave().shortImageBy = 100;
  EXPECT_EQ(Start(device), kICAFileCorruptedErr);
  unchanged();
  sim_->misbehave().shortImageBy = 0;

  // A header nobody can read.
  sim_->misbehave().corruptHeader = true;
  EXPECT_EQ(Start(device), kICAFileCorruptedErr);
  unchanged();
  sim_->misbehave().corruptHeader = false;

  // The device never sends the image: the job gives up and returns none.
  sim_->misbehave().timeoutsBeforeData = 1000;
  EXPECT_EQ(Start(device), kICACommunicationErr);
  EXPECT_TRUE(log_.contains(" > ERROR: the scanner sent no image\n"));
  unchanged();
  sim_->misbehave().timeoutsBeforeData = 0;

  // The device goes away in the middle of the image.
  SetArea(device, 300, 1, 8, 0, 0, 600, 600);
  sim_->misbehave().goneAfterBytes = 200000;
  EXPECT_EQ(Start(device), kICADeviceNotFoundErr);
  unchanged();
  EXPECT_FALSE(scanner->m_opened);
}

TEST_F(ScanStartTest, HostFailuresEndTheStartWithTheirStatus) {
  ScannerObjectInfo* device = OpenSimulated();
  ASSERT_TRUE(device);
  CSimpleScanner* scanner = Scanner(device);
  SetArea(device, 300, 1, 8, 0, 0, 40, 40);

  // The host cannot make the object: the TIFF converted so far stays held, nothing is announced.
  tarvell::testing::FailNext(HostCall::kNewObjectInfoCreated, 1, memFullErr, tarvell::testing::Fails::kFromThenOn);
  EXPECT_EQ(Start(device), memFullErr);
  EXPECT_TRUE(scanner->m_tiffData);
  EXPECT_EQ(scanner->m_fileObject, 0u);
  EXPECT_TRUE(Recorded().notifications.empty());
  tarvell::testing::FailNext(HostCall::kNewObjectInfoCreated, 0, noErr);

  // The announcement fails: the object is still the scanner's, so a delete can reach it.
  tarvell::testing::FailNext(HostCall::kInitiateNotification, 1, -9999, tarvell::testing::Fails::kFromThenOn);
  EXPECT_EQ(Start(device), -9999);
  EXPECT_NE(scanner->m_fileObject, 0u);
  tarvell::testing::FailNext(HostCall::kInitiateNotification, 0, noErr);

  // No cookie for the removal of the earlier file: nothing new is created.
  const size_t created = Recorded().newObjects.size();
  tarvell::testing::FailNext(HostCall::kCreateEventDataCookie, 1, -9998, tarvell::testing::Fails::kFromThenOn);
  EXPECT_EQ(Start(device), -9998);
  EXPECT_EQ(Recorded().newObjects.size(), created);
}

}  // namespace
