#include "sim/SimulatedScanner.h"
#include "usb/ScanJob.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "element/Elements.h"
#include "platform/system/Log.h"
#include "platform/usb/SimBus.h"
#include "tests/support/Packets.h"
#include "usb/CSimpleScanner.h"
#include "xml/XMLSAXParser.h"
#include "xml/XMLVisitor.h"

using namespace tarvell::usb;
using tarvell::sim::K310Layout;
using tarvell::sim::MakeK310;

namespace {

constexpr UInt32 kLocation = 0x01100000;
const std::string kTimedOut = "e00002d6";

using tarvell::testing::Concat;
using tarvell::testing::Dump;
using tarvell::testing::ExceptionReply;
using tarvell::testing::Packet;
using tarvell::testing::Response;

// One request as the host wrote it: its text and the parsed message.
struct SentCall {
  std::string text;
  std::unique_ptr<Element> message;
  std::string objName() const { return message->getChild("objName")->stringValue(); }
  std::string method() const { return message->getChild("method")->stringValue(); }
  std::string requestID() const { return message->getChild("requestID")->stringValue(); }
  Element* params() const { return message->getChild("params"); }
  // The parameter map among the arguments.
  Element* parameterMap() const {
    Element* list = params();
    for (unsigned i = 0; i < list->getNumChildren(); ++i)
      if (list->getChildRaw(i)->instanceOf("MapElem")) return list->getChildRaw(i);
    return nullptr;
  }
};

int IntAt(Element* e, std::initializer_list<const char*> path) {
  for (const char* name : path) e = e->getChild(name);
  return e->intValue();
}

class ScanJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bus_ = SimBus::Create();
    SetActiveBus(bus_);
    glJobName.clear();
  }
  void TearDown() override { SetActiveBus(nullptr); }

  std::unique_ptr<CSimpleScanner> Open(UInt32 res = 300, UInt8 colorMode = 1, UInt8 dataFormat = 8, UInt32 x = 0,
                                       UInt32 y = 0, UInt32 w = 2550, UInt32 h = 3300) {
    auto scanner = std::make_unique<CSimpleScanner>(kLocation);
    EXPECT_TRUE(scanner->m_opened);
    ScanningParamBlock p{res, res, x, y, w, h, colorMode, dataFormat, 0, 0};
    scanner->SetScanningParameters(&p);
    return scanner;
  }

  // A scanner with no behaviour: reads answer what the test queued, else time out.
  std::shared_ptr<SimDevice> Plug() { return bus_->AddDevice(MakeK310(kLocation)); }

  // Every control packet the host wrote, parsed back with the project's reader.
  std::vector<SentCall> Sent() const {
    std::vector<SentCall> out;
    for (const SimCall& c : bus_->CallsOf(SimOp::WritePipe)) {
      EXPECT_GE(c.data.size(), 8u);
      EXPECT_EQ(c.data[0], 0xCC);
      const UInt32 length =
          (UInt32(c.data[4]) << 24) | (UInt32(c.data[5]) << 16) | (UInt32(c.data[6]) << 8) | UInt32(c.data[7]);
      EXPECT_EQ(length + 8, c.data.size());
      SentCall call;
      call.text.assign(c.data.begin() + 8, c.data.end());
      XMLSAXParser parser;
      EXPECT_EQ(parser.parseMessage(call.text.data(), int(call.text.size())), 0);
      call.message = parser.takeResult();
      EXPECT_TRUE(call.message);
      out.push_back(std::move(call));
    }
    return out;
  }

  std::vector<SimCall> DataReads() const {
    std::vector<SimCall> out;
    for (const SimCall& c : bus_->CallsOf(SimOp::ReadPipe))
      if (c.size == tarvell::kScanJobDataBufferSize) out.push_back(c);
    return out;
  }

  std::shared_ptr<SimBus> bus_;
};

TEST_F(ScanJobTest, WorkedSettingsGoOnTheWireInFiveCalls) {
  Plug();
  auto scanner = Open(300, 1, 8, 0, 0, 2550, 3300);
  std::unique_ptr<ScanData> image;
  ASSERT_EQ(scanner->MyScanToBuffer(&image), kIOReturnSuccess);

  const std::vector<SentCall> sent = Sent();
  ASSERT_EQ(sent.size(), 5u);
  // Nothing came back, so the job name stayed empty.
  const char* objects[] = {"system", "jobFactory", "", ".scanJob", "system"};
  const char* methods[] = {"enterHostUSBSendMode", "create", "start", "done", "exitHostUSBSendMode"};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(sent[i].message->getChild("messageType")->stringValue(), "method");
    EXPECT_EQ(sent[i].message->getChild("systemRule")->stringValue(), "callMethod");
    EXPECT_EQ(sent[i].objName(), objects[i]);
    EXPECT_EQ(sent[i].method(), methods[i]);
    EXPECT_EQ(sent[i].requestID(), sent[0].requestID());
  }
  EXPECT_LT(std::stoi(sent[0].requestID()), 10000);
  // Calls 1 and 2 carry the same map; call 2 leads with the job kind.
  for (int i = 0; i < 2; ++i) {
    Element* map = sent[i].parameterMap();
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(map->getNumChildren(), 3u);
    EXPECT_EQ(map->getChild("documentParameters")->getNumChildren(), 2u);
    EXPECT_EQ(IntAt(map, {"documentParameters", "compression"}), 4);
    EXPECT_EQ(IntAt(map, {"documentParameters", "fileFormat"}), 4);
    EXPECT_EQ(map->getChild("scanParameters")->getNumChildren(), 9u);
    EXPECT_EQ(IntAt(map, {"scanParameters", "orientation"}), 0);
    EXPECT_EQ(IntAt(map, {"scanParameters", "darkness"}), 5);
    EXPECT_EQ(IntAt(map, {"scanParameters", "contrast"}), 5);
    EXPECT_EQ(IntAt(map, {"scanParameters", "source"}), 2);
    EXPECT_EQ(IntAt(map, {"scanParameters", "resolution"}), 300);
    EXPECT_EQ(IntAt(map, {"scanParameters", "bitdepth"}), 24);
    EXPECT_EQ(IntAt(map, {"scanParameters", "contentType"}), 2);
    EXPECT_EQ(IntAt(map, {"scanParameters", "originalMediaSize"}), 2);
    EXPECT_EQ(IntAt(map, {"scanParameters", "scanWindow", "topLeft", "x"}), 0);
    EXPECT_EQ(IntAt(map, {"scanParameters", "scanWindow", "topLeft", "y"}), 0);
    EXPECT_EQ(IntAt(map, {"scanParameters", "scanWindow", "bottomRight", "x"}), 2550);
    EXPECT_EQ(IntAt(map, {"scanParameters", "scanWindow", "bottomRight", "y"}), 3300);
    EXPECT_EQ(map->getChild("usbParameters")->getNumChildren(), 0u);
  }
  EXPECT_EQ(sent[0].params()->getNumChildren(), 1u);
  ASSERT_EQ(sent[1].params()->getNumChildren(), 2u);
  EXPECT_EQ(sent[1].params()->getChild(0u)->stringValue(), "HostSendJob");
  for (int i = 2; i < 5; ++i) EXPECT_EQ(sent[i].params()->getNumChildren(), 0u);
  // The two maps are written alike, byte for byte.
  auto mapText = [&](int i) {
    const std::string& t = sent[i].text;
    return t.substr(t.find("<MapElem>"), t.rfind("</MapElem>") - t.find("<MapElem>"));
  };
  EXPECT_EQ(mapText(0), mapText(1));
  scanner.reset();
  EXPECT_EQ(bus_->LiveObjects(), 0);
}

// Settings and the map values they must give on the wire.
struct MapCase {
  UInt32 res;
  UInt8 colorMode, dataFormat;
  UInt32 x, y, w, h;
  int resolution, bitdepth, contentType, mediaSize;
  int left, top, right, bottom;
};

TEST_F(ScanJobTest, ParameterMapFollowsTheSettings) {
  const MapCase cases[] = {
      // 600 dpi colour is sent as 300 dpi, window halved.
      {600, 1, 24, 0, 0, 5100, 7014, 300, 24, 2, 2, 0, 0, 2550, 3507},
      // 100 dpi grey: 150 dpi, resAdjust 1.5, so offset 3 becomes 4 (4.5 truncated).
      {100, 0, 8, 3, 3, 100, 100, 150, 8, 1, 12, 4, 4, 154, 154},
      // Line art keeps 600 dpi.
      {600, 0, 1, 0, 0, 600, 600, 600, 8, 0, 12, 0, 0, 600, 600},
      // Right edge at 3.9 in, bottom at 5.9 in: within 4 × 6 inches.
      {300, 1, 8, 0, 0, 1170, 1770, 300, 24, 2, 12, 0, 0, 1170, 1770},
      // Bottom edge at exactly 6 in: not.
      {300, 1, 8, 0, 0, 1170, 1800, 300, 24, 2, 2, 0, 0, 1170, 1800},
      // Right edge at exactly 4 in through the offset.
      {200, 0, 8, 100, 0, 700, 100, 200, 8, 1, 2, 100, 0, 800, 100},
      // Between the device's resolutions: the next one up, window scaled to it.
      {250, 0, 8, 10, 20, 100, 100, 300, 8, 1, 12, 12, 24, 132, 144},
      {50, 0, 8, 0, 0, 100, 100, 75, 8, 1, 12, 0, 0, 150, 150},
      {400, 0, 8, 0, 0, 100, 100, 400, 8, 1, 12, 0, 0, 100, 100},
  };
  for (const MapCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.res << " dpi, colour " << int(c.colorMode) << ", format " << int(c.dataFormat)
                                    << ", " << c.w << " x " << c.h);
    bus_ = SimBus::Create();
    SetActiveBus(bus_);
    Plug();
    auto scanner = Open(c.res, c.colorMode, c.dataFormat, c.x, c.y, c.w, c.h);
    std::unique_ptr<ScanData> image;
    ASSERT_EQ(scanner->MyScanToBuffer(&image), kIOReturnSuccess);
    const std::vector<SentCall> sent = Sent();
    ASSERT_EQ(sent.size(), 5u);
    for (int i = 0; i < 2; ++i) {
      Element* map = sent[i].parameterMap();
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
  }
}

TEST_F(ScanJobTest, LogLinesOfAJobAreExact) {
  // Scripted pipes: replies and image data queued in advance.
  std::shared_ptr<SimDevice> device = Plug();
  device->QueueRead(11, Packet(0xCC, Response("0")));
  device->QueueRead(11, Packet(0xCC, Response("Job12")));
  device->QueueRead(11, Packet(0xCC, Response("0")));
  device->QueueRead(8, Concat({Packet(0xAA), Packet(0xBB), Packet(0xDD, "P5\n#\n2 1\n255\nab")}));
  device->QueueRead(8, Concat({Packet(0xEE), Packet(0xFF)}));
  device->QueueRead(11, Packet(0xCC, Response("0")));
  // No reply to call 5: its read times out.
  auto scanner = Open(300, 0, 8, 0, 0, 2, 1);

  tarvell::LogCapture log;
  std::unique_ptr<ScanData> image;
  ASSERT_EQ(scanner->MyScanToBuffer(&image), kIOReturnSuccess);
  ASSERT_TRUE(image);
  EXPECT_EQ(std::string(image->begin(), image->end()), "P5\n#\n2 1\n255\nab");

  const std::vector<SentCall> sent = Sent();
  ASSERT_EQ(sent.size(), 5u);
  const std::string id = sent[0].requestID();
  auto reply = [](const std::string& r) {
    return std::vector<std::string>{"_MY_ControlData()", " > \n" + Response(r) + "\n", " > continued on\n", " > " + r};
  };
  std::vector<std::string> expected = {"MyScanToBuffer()",   "requestID: " + id,      " - Enter PC Scan Mode",
                                       "  resolution: 300",  " mainScanRes: 300",     "   resAdjust: 1.000000",
                                       " > " + sent[0].text, "WritePipeWithBuffer()", "ReadControlPipeToBuffer()"};
  for (const auto& l : reply("0")) expected.push_back(l);
  expected.push_back(" - Get Job Name");
  expected.push_back(" > " + sent[1].text);
  expected.push_back("WritePipeWithBuffer()");
  expected.push_back("ReadControlPipeToBuffer()");
  expected.push_back(" > jobNameBufSize:\t" + std::to_string(8 + Response("Job12").size()) + "\n");
  for (const auto& l : reply("Job12")) expected.push_back(l);
  expected.push_back(" - Start Scan Job");
  expected.push_back(" > " + sent[2].text);
  expected.push_back("WritePipeWithBuffer()");
  expected.push_back("ReadControlPipeToBuffer()");
  for (const auto& l : reply("0")) expected.push_back(l);
  expected.push_back("ReadDataPipeToBuffer()");
  expected.push_back("endJobPage: 0");
  expected.push_back("_MY_ImageBeginJob()");
  expected.push_back("_MY_ImageBeginJobPage()");
  expected.push_back("ReadDataPipeToBuffer()");
  expected.push_back("endJobPage: 0");
  expected.push_back("_MY_ImageEndJobPage()");
  expected.push_back("_MY_ImageEndJob()");
  expected.push_back("ReadDataPipeToBuffer()");
  expected.push_back("endJobPage: 0");
  expected.push_back(" > Data Read fail error: " + kTimedOut + "\tBuffer Size: 0\n");
  expected.push_back(" - Finish Scan Job");
  expected.push_back(" > " + sent[3].text);
  expected.push_back("WritePipeWithBuffer()");
  expected.push_back("ReadControlPipeToBuffer()");
  for (const auto& l : reply("0")) expected.push_back(l);
  expected.push_back(" - Exit PC Scan Mode");
  expected.push_back(sent[4].text);
  expected.push_back("WritePipeWithBuffer()");
  expected.push_back("ReadControlPipeToBuffer()");
  expected.push_back(" > exitHostSendMode Response Read fail error: " + kTimedOut + "\n");
  EXPECT_EQ(log.lines(), expected);

  // A reply naming Job12 makes call 3 address Job12 and call 4 Job12.scanJob; the request text
  // of a call without arguments is this, byte for byte.
  EXPECT_EQ(sent[2].text,
            "<?xml version=\"1.0\"?>\r\n<method name=\"callMethod\" requestID=\"" + id +
                "\">\r\n  <arg name=\"objName\">Job12</arg>\r\n  <arg name=\"method\">start</arg>"
                "\r\n  <arg name=\"params\">\r\n  <ListElem>\r\n  </ListElem>\r\n</arg>\r\n</method>\r\n");
  EXPECT_EQ(sent[3].objName(), "Job12.scanJob");
  // Every response overwrites the job name, whichever call it answers.
  EXPECT_EQ(glJobName, "0");
}

TEST_F(ScanJobTest, FailedReplyReadsAreLoggedAndTheJobGoesOn) {
  std::shared_ptr<SimDevice> device = Plug();
  glJobName = "Job7";  // left by an earlier job
  auto scanner = Open();
  tarvell::LogCapture log;
  std::unique_ptr<ScanData> image(new ScanData(3, 0));
  ASSERT_EQ(scanner->MyScanToBuffer(&image), kIOReturnSuccess);
  // No image data ever came: the job gave up after the bound and handed out no buffer.
  EXPECT_EQ(image, nullptr);
  EXPECT_TRUE(log.contains(" > enterHostUSBSendMode Control Read fail error: " + kTimedOut + "\n"));
  EXPECT_TRUE(log.contains(" > Job Name Control Read fail error: " + kTimedOut + "\n"));
  EXPECT_TRUE(log.contains(" > jobNameBufSize:\t0\n"));
  EXPECT_TRUE(log.contains(" > StartScanJob Control Read fail error: " + kTimedOut + "\n"));
  EXPECT_TRUE(log.contains(" > FinishScanJob Control Read fail error: " + kTimedOut + "\n"));
  EXPECT_TRUE(log.contains(" > exitHostSendMode Response Read fail error: " + kTimedOut + "\n"));
  EXPECT_TRUE(log.contains(" > ERROR: no image data after 6 reads, giving up\n"));
  // The job name is what an earlier response left.
  const std::vector<SentCall> sent = Sent();
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_EQ(sent[2].objName(), "Job7");
  EXPECT_EQ(sent[3].objName(), "Job7.scanJob");
  // Exactly one reply read of 512 bytes per call, and the bound of image reads.
  int replyReads = 0;
  for (const SimCall& c : bus_->CallsOf(SimOp::ReadPipe)) replyReads += c.size == 512;
  EXPECT_EQ(replyReads, 5);
  EXPECT_EQ(DataReads().size(), size_t(tarvell::kScanJobIdleReadLimit));
  for (const SimCall& c : DataReads()) {
    EXPECT_EQ(c.noDataTimeout, 15000u);
    EXPECT_EQ(c.completionTimeout, 60000u);
  }
}

TEST_F(ScanJobTest, DataPhaseSurvivesEarlyTimeOutsAndEndsAtTheFirstFailureAfterData) {
  std::shared_ptr<SimDevice> device = Plug();
  for (int i = 0; i < 3; ++i) device->QueueRead(11, Packet(0xCC, Response("Job1")));
  for (int i = 0; i < 3; ++i) device->QueueRead(8, std::vector<UInt8>(), kIOReturnTimeout);
  // Image bytes split over packets and over reads, a packet straddling two reads.
  const std::vector<UInt8> stream = Concat({Packet(0xAA), Packet(0xBB), Packet(0xDD, "P6\n"), Packet(0xDD, "#c\n1 1"),
                                            Packet(0xDD, "\n255\nRGB"), Packet(0xEE), Packet(0xFF)});
  device->QueueRead(8, std::vector<UInt8>(stream.begin(), stream.begin() + 27));
  device->QueueRead(8, std::vector<UInt8>(stream.begin() + 27, stream.end()));
  device->QueueRead(8, std::vector<UInt8>(), kIOReturnTimeout);
  device->QueueRead(8, Packet(0xDD, "never read"));
  auto scanner = Open();
  tarvell::LogCapture log;
  std::unique_ptr<ScanData> image;
  ASSERT_EQ(scanner->MyScanToBuffer(&image), kIOReturnSuccess);
  ASSERT_TRUE(image);
  EXPECT_EQ(std::string(image->begin(), image->end()), "P6\n#c\n1 1\n255\nRGB");
  EXPECT_EQ(DataReads().size(), 6u);
  EXPECT_EQ(endJobPage, 1);
  int failures = 0;
  for (const std::string& l : log.lines()) failures += l.rfind(" > Data Read fail error: ", 0) == 0;
  EXPECT_EQ(failures, 4);
  EXPECT_EQ(Sent().size(), 5u);
}

TEST_F(ScanJobTest, WhenAskedTheDataPhaseEndsAtTheEndOfJobPacketAfterData) {
  // An end of job before any data ends nothing; after data it saves the final time-out.
  for (bool endAtJobEnd : {false, true}) {
    SCOPED_TRACE(endAtJobEnd);
    SetUp();
    tarvell::SetScanJobEndsAtJobEnd(endAtJobEnd);
    std::shared_ptr<SimDevice> device = Plug();
    for (int i = 0; i < 3; ++i) device->QueueRead(11, Packet(0xCC, Response("Job1")));
    device->QueueRead(8, Concat({Packet(0xAA), Packet(0xFF)}));
    device->QueueRead(
        8, Concat({Packet(0xAA), Packet(0xBB), Packet(0xDD, "P5\n1 1\n255\nG"), Packet(0xEE), Packet(0xFF)}));
    std::unique_ptr<ScanData> image;
    ASSERT_EQ(Open()->MyScanToBuffer(&image), kIOReturnSuccess);
    tarvell::SetScanJobEndsAtJobEnd(false);
    ASSERT_TRUE(image);
    EXPECT_EQ(std::string(image->begin(), image->end()), "P5\n1 1\n255\nG");
    EXPECT_EQ(DataReads().size(), endAtJobEnd ? 2u : 3u);
    EXPECT_EQ(Sent().size(), 5u);
  }
}

TEST_F(ScanJobTest, DeviceGoneDuringDataSkipsTheLastCallsAndKeepsTheOutParameter) {
  std::shared_ptr<SimDevice> device = Plug();
  device->QueueRead(8, Concat({Packet(0xAA), Packet(0xDD, "partial")}));
  device->QueueRead(8, std::vector<UInt8>(), kIOReturnNoDevice);
  auto scanner = Open();
  ScanData* sentinel = new ScanData(1, 42);
  std::unique_ptr<ScanData> image(sentinel);
  EXPECT_EQ(UInt32(scanner->MyScanToBuffer(&image)), 0xE00002C0u);
  EXPECT_EQ(image.get(), sentinel);
  EXPECT_FALSE(scanner->m_opened);
  EXPECT_EQ(scanner->m_scanData, nullptr);
  EXPECT_EQ(Sent().size(), 3u);  // no "done", no "exitHostUSBSendMode"
  EXPECT_EQ(DataReads().size(), 2u);
  // Not opened any more: the destructor leaves the pipes alone but still releases the handle.
  scanner.reset();
  EXPECT_EQ(bus_->LiveObjects(), 0);
}

TEST_F(ScanJobTest, ExceptionReplyChangesOnlyTheLog) {
  std::shared_ptr<SimDevice> device = Plug();
  glJobName = "Job9";
  const std::string exception = ExceptionReply("no such factory");
  device->QueueRead(11, Packet(0xCC, Response("0")));
  device->QueueRead(11, Packet(0xCC, exception));
  auto scanner = Open();
  tarvell::LogCapture log;
  std::unique_ptr<ScanData> image;
  ASSERT_EQ(scanner->MyScanToBuffer(&image), kIOReturnSuccess);
  EXPECT_EQ(image, nullptr);
  EXPECT_TRUE(log.contains(" > " + exception));
  EXPECT_FALSE(log.contains(" > caught exception!\n"));
  // The job name is the latest response's, the one to "enterHostUSBSendMode".
  EXPECT_EQ(Sent()[2].objName(), "0");
}

TEST_F(ScanJobTest, ReplyCutBeforeTheDataPhaseDoesNotSwallowImageData) {
  std::shared_ptr<SimDevice> device = Plug();
  const std::vector<UInt8> start = Packet(0xCC, Response("Started"));
  device->QueueRead(11, Packet(0xCC, Response("0")));
  device->QueueRead(11, Packet(0xCC, Response("Job4")));
  device->QueueRead(11, std::vector<UInt8>(start.begin(), start.begin() + 20));
  device->QueueRead(8, Concat({Packet(0xAA), Packet(0xDD, "image bytes"), Packet(0xFF)}));
  device->QueueRead(11, Concat({std::vector<UInt8>(start.begin() + 20, start.end()), Packet(0xCC, Response("0"))}));
  auto scanner = Open();
  tarvell::LogCapture log;
  std::unique_ptr<ScanData> image;
  ASSERT_EQ(scanner->MyScanToBuffer(&image), kIOReturnSuccess);
  ASSERT_TRUE(image);
  EXPECT_EQ(std::string(image->begin(), image->end()), "image bytes");
  // The cut reply was completed by the next reply read, and still parsed.
  EXPECT_TRUE(log.contains(" > Started"));
  EXPECT_EQ(Sent()[3].objName(), "Job4.scanJob");
}

TEST_F(ScanJobTest, RepliesThatCannotBeReadAreCaught) {
  std::shared_ptr<SimDevice> device = Plug();
  glJobName = "Job3";
  // A response without a result, one without a message type, and one that is not XML.
  device->QueueRead(11, Packet(0xCC, "<?xml version=\"1.0\"?>\r\n<response requestID=\"1\">\r\n</response>\r\n"));
  device->QueueRead(11, Packet(0xCC, "<?xml version=\"1.0\"?>\r\n<MapElem></MapElem>"));
  device->QueueRead(11, Packet(0xCC, "<<<not xml"));
  auto scanner = Open();
  tarvell::LogCapture log;
  std::unique_ptr<ScanData> image;
  ASSERT_EQ(scanner->MyScanToBuffer(&image), kIOReturnSuccess);
  int caught = 0;
  for (const std::string& l : log.lines()) caught += l == " > caught exception!\n";
  EXPECT_EQ(caught, 1);
  EXPECT_EQ(glJobName, "Job3");
  EXPECT_EQ(Sent()[2].objName(), "Job3");
}

TEST_F(ScanJobTest, ReplySplitAcrossReadsIsCompletedByTheNextReplyRead) {
  std::shared_ptr<SimDevice> device = Plug();
  const std::vector<UInt8> first = Packet(0xCC, Response("First"));
  device->QueueRead(11, std::vector<UInt8>(first.begin(), first.begin() + 30));
  device->QueueRead(11, Concat({std::vector<UInt8>(first.begin() + 30, first.end()), Packet(0xCC, Response("Job5"))}));
  auto scanner = Open();
  tarvell::LogCapture log;
  std::unique_ptr<ScanData> image;
  ASSERT_EQ(scanner->MyScanToBuffer(&image), kIOReturnSuccess);
  // Both replies were handled by the read of call 2; the later one named the job.
  std::vector<std::string> results;
  for (size_t i = 0; i + 1 < log.lines().size(); ++i)
    if (log.lines()[i] == " > continued on\n") results.push_back(log.lines()[i + 1]);
  EXPECT_EQ(results, (std::vector<std::string>{" > First", " > Job5"}));
  EXPECT_EQ(Sent()[2].objName(), "Job5");
}

TEST_F(ScanJobTest, EndlessEmptyTransfersAfterDataEndTheDataPhase) {
  std::shared_ptr<SimDevice> device = Plug();
  device->QueueRead(8, Packet(0xDD, "xy"));
  for (int i = 0; i < 50; ++i) device->QueueRead(8, std::vector<UInt8>());
  auto scanner = Open();
  std::unique_ptr<ScanData> image;
  ASSERT_EQ(scanner->MyScanToBuffer(&image), kIOReturnSuccess);
  ASSERT_TRUE(image);
  EXPECT_EQ(std::string(image->begin(), image->end()), "xy");
  EXPECT_EQ(DataReads().size(), size_t(1 + tarvell::kScanJobIdleReadLimit));
}

TEST_F(ScanJobTest, ZeroResolutionSendsNothing) {
  std::shared_ptr<SimDevice> device = Plug();
  auto scanner = Open(0);
  std::unique_ptr<ScanData> image(new ScanData(2, 0));
  EXPECT_EQ(scanner->MyScanToBuffer(&image), kIOReturnSuccess);
  EXPECT_EQ(image, nullptr);
  EXPECT_TRUE(bus_->CallsOf(SimOp::WritePipe).empty());
}

TEST_F(ScanJobTest, HugeWindowIsClampedNotOverflowed) {
  std::shared_ptr<SimDevice> device = Plug();
  // 1 dpi asks for 75 dpi, a factor of 75 on offsets near 2^32.
  auto scanner = Open(1, 0, 8, 0xFFFFFF00u, 0, 0x100u, 10);
  std::unique_ptr<ScanData> image;
  ASSERT_EQ(scanner->MyScanToBuffer(&image), kIOReturnSuccess);
  const std::vector<SentCall> sent = Sent();
  Element* map = sent[0].parameterMap();
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(IntAt(map, {"scanParameters", "resolution"}), 75);
  EXPECT_EQ(IntAt(map, {"scanParameters", "scanWindow", "topLeft", "x"}), 2147483647);
  // The right edge wraps around to 0 in 32 bits, as the device's protocol computes it.
  EXPECT_EQ(IntAt(map, {"scanParameters", "scanWindow", "bottomRight", "x"}), 0);
  // 10 rows at 1 dpi reach past 6 inches.
  EXPECT_EQ(IntAt(map, {"scanParameters", "originalMediaSize"}), 2);
}

// The image buffer is sized once from the header of the first image-data packet.
TEST_F(ScanJobTest, ImageBufferIsReservedFromTheStreamHeader) {
  Plug();
  auto scanner = Open();
  const std::string header = "P6\n# chart\n4 2\n255\n";
  std::vector<UInt8> stream(header.begin(), header.end());
  for (int i = 0; i < 24; ++i) stream.push_back(UInt8(i));
  _MY_ImageData(stream.data(), 30, scanner.get());
  ASSERT_TRUE(scanner->m_scanData);
  EXPECT_EQ(scanner->m_scanData->capacity(), stream.size());
  _MY_ImageData(stream.data() + 30, SInt32(stream.size() - 30), scanner.get());
  EXPECT_EQ(*scanner->m_scanData, stream);
  EXPECT_EQ(scanner->m_scanData->capacity(), stream.size());

  // A bitmap header has no maximum line; a claim out of reach or a header cut short reserves
  // nothing, and the bytes still arrive.
  const struct {
    std::string first;
    size_t capacity;
  } cases[] = {{"P4\n#\n12 2\n", 10 + 4}, {"P6\n#\n100000 100000\n255\n", 0}, {"P6\n# cut", 0}};
  for (const auto& c : cases) {
    scanner->m_scanData.reset();
    _MY_ImageData(reinterpret_cast<const UInt8*>(c.first.data()), SInt32(c.first.size()), scanner.get());
    ASSERT_TRUE(scanner->m_scanData);
    EXPECT_EQ(scanner->m_scanData->size(), c.first.size());
    if (c.capacity)
      EXPECT_EQ(scanner->m_scanData->capacity(), c.capacity) << c.first;
    else
      EXPECT_LT(scanner->m_scanData->capacity(), size_t(1) << 20) << c.first;
  }
}

}  // namespace
