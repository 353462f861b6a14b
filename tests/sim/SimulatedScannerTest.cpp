#include "sim/SimulatedScanner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "element/Elements.h"
#include "platform/system/Log.h"
#include "platform/usb/SimBus.h"
#include "tests/support/Packets.h"
#include "usb/CSimpleScanner.h"
#include "usb/ScanJob.h"
#include "usb/USBScanProtocol.h"
#include "xml/XMLSAXParser.h"
#include "xml/XMLVisitor.h"

using namespace tarvell::sim;
using namespace tarvell::usb;

namespace {

constexpr UInt32 kLocation = 0x01100000;

ScanningParamBlock Settings(UInt32 res, UInt8 colorMode, UInt8 dataFormat, UInt32 x, UInt32 y, UInt32 w, UInt32 h) {
  return ScanningParamBlock{res, res, x, y, w, h, colorMode, dataFormat, 0, 0};
}

// The driver's parameter map for `settings`, then `change` applied to it.
std::unique_ptr<MapElem> ParameterMap(const ScanningParamBlock& settings,
                                      const std::function<void(MapElem&)>& change = {}) {
  tarvell::LogCapture quiet;
  std::unique_ptr<MapElem> map = tarvell::BuildScanParameterMap(settings);
  if (change) change(*map);
  return map;
}

// A control packet carrying a callMethod request, as the host frames it: "create" gets the
// "HostSendJob" argument before the map.
std::vector<UInt8> Request(const std::string& obj, const std::string& method,
                           const ScanningParamBlock* settings = nullptr, int id = 77,
                           const std::function<void(MapElem&)>& change = {}) {
  ListElem args;
  if (method == "create") args.addChild("HostSendJob", new StringElem("HostSendJob"));
  if (settings) args.add(static_cast<Element*>(ParameterMap(*settings, change).release()));
  return tarvell::testing::CallPacket(id, obj, method, args);
}

// What came back from the device, cut into packets again.
struct Received {
  std::vector<UInt8> types;
  std::vector<std::string> replies;
  std::vector<UInt8> image;
  std::vector<size_t> imagePacketSizes;
};

void Collect(Received& r, UInt8 type, const UInt8* bytes, SInt32 length) {
  r.types.push_back(type);
  if (type == kPacketControlData) r.replies.emplace_back(reinterpret_cast<const char*>(bytes), size_t(length));
  if (type == kPacketImageData) {
    r.image.insert(r.image.end(), bytes, bytes + length);
    r.imagePacketSizes.push_back(size_t(length));
  }
}

std::unique_ptr<USBScanProtocol> Framer(Received& r) {
  ScanProtocolCallbacks cb{};
  cb.info = &r;
  cb.beginImageJob = [](void* i) { static_cast<Received*>(i)->types.push_back(0xAA); };
  cb.beginImagePage = [](void* i) { static_cast<Received*>(i)->types.push_back(0xBB); };
  cb.endImagePage = [](void* i) { static_cast<Received*>(i)->types.push_back(0xEE); };
  cb.endImageJob = [](void* i) { static_cast<Received*>(i)->types.push_back(0xFF); };
  cb.controlData = [](const UInt8* b, SInt32 n, void* i) { Collect(*static_cast<Received*>(i), 0xCC, b, n); };
  cb.imageData = [](const UInt8* b, SInt32 n, void* i) { Collect(*static_cast<Received*>(i), 0xDD, b, n); };
  return USBScanProtocol::initWithCallbacks(cb);
}

// A parsed reply: its type and its result's text (empty when it has none).
struct Reply {
  std::string type;
  std::string result;
  std::string requestID;
};

Reply Parse(const std::string& text) {
  XMLSAXParser parser;
  EXPECT_EQ(parser.parseMessage(text.data(), int(text.size())), 0) << text;
  std::unique_ptr<Element> message = parser.takeResult();
  Reply r;
  if (!message) return r;
  r.type = message->getChild("messageType")->stringValue();
  r.requestID = message->getChild("requestID")->stringValue();
  if (message->hasChild("result")) r.result = message->getChild("result")->stringValue();
  return r;
}

// Talks to the model directly, as the bus would.
class DeviceModelTest : public ::testing::Test {
 protected:
  explicit DeviceModelTest() : sim_(std::make_shared<SimulatedScanner>()) {}

  void Reset(const SimulatedScannerOptions& options, std::shared_ptr<SimClock> clock = nullptr) {
    sim_ = std::make_shared<SimulatedScanner>(options, clock);
  }

  // Sends one request and returns the replies of one reply read.
  std::vector<Reply> Call(const std::string& obj, const std::string& method,
                          const ScanningParamBlock* settings = nullptr) {
    EXPECT_EQ(sim_->BulkWrite(kRequestEndpoint, Request(obj, method, settings)), kIOReturnSuccess);
    return ReadReplies();
  }
  std::vector<Reply> ReadReplies() {
    const size_t before = received_.replies.size();
    SimReadAnswer a = sim_->BulkRead(kReplyEndpoint, 512);
    if (a.status == kIOReturnSuccess) replyFramer_->receiveData(a.data);
    std::vector<Reply> out;
    for (size_t i = before; i < received_.replies.size(); ++i) out.push_back(Parse(received_.replies[i]));
    return out;
  }
  // Reads the image pipe until it times out; returns the statuses of the reads.
  std::vector<IOReturn> DrainImage(UInt32 capacity = 102400, std::vector<size_t>* sizes = nullptr) {
    std::vector<IOReturn> statuses;
    for (int guard = 0; guard < 100000; ++guard) {
      SimReadAnswer a = sim_->BulkRead(kImageEndpoint, capacity);
      statuses.push_back(a.status);
      EXPECT_LE(a.data.size(), capacity);
      if (sizes) sizes->push_back(a.data.size());
      if (!a.data.empty()) imageFramer_->receiveData(a.data);
      if (a.status != kIOReturnSuccess && statuses.size() > 20) break;
      if (a.status == kIOReturnNoDevice) break;
      if (a.status == kIOReturnTimeout && sim_->pendingImageBytes() == 0) break;
    }
    return statuses;
  }
  void EnterAndCreate(const ScanningParamBlock& s) {
    Call("system", "enterHostUSBSendMode", &s);
    Call("jobFactory", "create", &s);
  }

  std::shared_ptr<SimulatedScanner> sim_;
  Received received_;
  Received image_;
  std::unique_ptr<USBScanProtocol> replyFramer_ = Framer(received_);
  std::unique_ptr<USBScanProtocol> imageFramer_ = Framer(image_);
};

TEST_F(DeviceModelTest, AnswersTheFiveCallsAndNamesFreshJobs) {
  const ScanningParamBlock s = Settings(150, 0, 8, 0, 0, 300, 200);
  std::vector<Reply> r = Call("system", "enterHostUSBSendMode", &s);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].type, "response");
  EXPECT_EQ(r[0].requestID, "77");
  EXPECT_TRUE(sim_->inHostSendMode());
  r = Call("jobFactory", "create", &s);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].result, "Job1");
  EXPECT_EQ(Call("jobFactory", "create", &s)[0].type, "exception");  // one job per host send mode
  EXPECT_EQ(sim_->jobs(), (std::vector<std::string>{"Job1"}));
  EXPECT_EQ(Call("Job1", "start")[0].type, "response");
  EXPECT_EQ(sim_->lastRequest().resolution, 150);
  EXPECT_EQ(sim_->lastRequest().contentType, kContentGrey);
  EXPECT_EQ(Call("Job1.scanJob", "done")[0].type, "response");
  EXPECT_EQ(sim_->pendingImageBytes(), 0u);  // an unread image goes with its job
  EXPECT_EQ(Call("system", "exitHostUSBSendMode")[0].type, "response");
  EXPECT_FALSE(sim_->inHostSendMode());
  ASSERT_EQ(sim_->calls().size(), 6u);
  EXPECT_EQ(sim_->calls()[3].objName, "Job1");
  EXPECT_EQ(sim_->calls()[3].method, "start");
  EXPECT_EQ(sim_->calls()[3].requestID, 77);
  EnterAndCreate(s);
  EXPECT_EQ(sim_->jobs(), (std::vector<std::string>{"Job2"}));
}

TEST_F(DeviceModelTest, RefusesWhatADeviceWouldRefuse) {
  const ScanningParamBlock s = Settings(300, 1, 8, 0, 0, 100, 100);
  EXPECT_EQ(Call("jobFactory", "create", &s)[0].type, "exception");  // not in host send mode
  Call("system", "enterHostUSBSendMode", &s);
  EXPECT_EQ(Call("jobFactory", "create")[0].type, "exception");  // the mode's map is not reused
  EXPECT_EQ(Call("Job9", "start")[0].type, "exception");
  EXPECT_EQ(Call("Job1", "done")[0].type, "exception");
  EXPECT_EQ(Call("Job9.scanJob", "done")[0].type, "exception");
  EXPECT_EQ(Call("system", "reboot")[0].type, "exception");
  EXPECT_EQ(sim_->pendingImageBytes(), 0u);

  // A window the device cannot scan is refused, and nothing streams.
  const ScanningParamBlock empty = Settings(300, 1, 8, 0, 0, 0, 100);
  EXPECT_EQ(Call("jobFactory", "create", &empty)[0].type, "exception");
  EXPECT_EQ(sim_->BulkRead(kImageEndpoint, 1000).status, kIOReturnTimeout);

  // Not XML at all, and XML that is no call.
  std::string junk = "<<<";
  sim_->BulkWrite(kRequestEndpoint, USBScanProtocol::prepControlDataToSend(junk));
  EXPECT_EQ(ReadReplies()[0].type, "exception");
  junk = "<?xml version=\"1.0\"?>\r\n<response requestID=\"1\">\r\n</response>\r\n";
  sim_->BulkWrite(kRequestEndpoint, USBScanProtocol::prepControlDataToSend(junk));
  EXPECT_EQ(ReadReplies()[0].type, "exception");
  // Nothing to say: the reply pipe times out.
  EXPECT_EQ(sim_->BulkRead(kReplyEndpoint, 512).status, kIOReturnTimeout);
}

// Sets (or, for a null value, removes) the entry at a dotted path of a map.
void SetEntry(MapElem& map, const std::string& path, Element* value) {
  Element* parent = &map;
  std::string rest = path;
  for (size_t dot; (dot = rest.find('.')) != std::string::npos; rest = rest.substr(dot + 1))
    parent = parent->getChildRaw(rest.substr(0, dot));
  if (value && !parent->hasChild(rest)) {
    parent->addChild(rest, value);
  } else if (value) {
    delete parent->setChild(rest, value);
  } else {
    delete parent->removeChild(rest);
  }
}

TEST_F(DeviceModelTest, RefusesEverySingleWrongEntryOfTheParameterMapNamingIt) {
  // 150 dpi grey, window (30, 40)-(330, 240): a small original.
  const ScanningParamBlock s = Settings(150, 0, 8, 30, 40, 300, 200);
  using Changes = std::vector<std::pair<const char*, std::function<Element*()>>>;
  auto integer = [](int v) { return [v]() -> Element* { return new IntegerElem(v); }; };
  auto removed = []() -> Element* { return nullptr; };
  const struct {
    Changes changes;
    const char* fault;
  } rows[] = {
      {{{"documentParameters.compression", integer(3)}}, "documentParameters.compression 3 is not 4"},
      {{{"documentParameters.fileFormat", integer(5)}}, "documentParameters.fileFormat 5 is not 4"},
      {{{"scanParameters.orientation", integer(1)}}, "scanParameters.orientation 1 is not 0"},
      {{{"scanParameters.darkness", integer(4)}}, "scanParameters.darkness 4 is not 5"},
      {{{"scanParameters.contrast", integer(6)}}, "scanParameters.contrast 6 is not 5"},
      {{{"scanParameters.source", integer(1)}}, "scanParameters.source 1 is not 2"},
      {{{"scanParameters.resolution", integer(100)}}, "resolution 100 is not one of 75, 150, 200, 300, 400, 600"},
      {{{"scanParameters.contentType", integer(3)}}, "contentType 3 is not one of 0, 1, 2"},
      {{{"scanParameters.bitdepth", integer(16)}}, "bitdepth 16 is not one of 8, 24"},
      {{{"scanParameters.bitdepth", integer(24)}}, "bitdepth 24 does not go with contentType 1"},
      {{{"scanParameters.contentType", integer(2)}}, "bitdepth 8 does not go with contentType 2"},
      {{{"scanParameters.contentType", integer(2)},
        {"scanParameters.bitdepth", integer(24)},
        {"scanParameters.resolution", integer(600)}},
       "resolution 600 is above 300 for colour"},
      {{{"scanParameters.originalMediaSize", integer(2)}}, "originalMediaSize 2 does not go with scanWindow"},
      {{{"scanParameters.originalMediaSize", integer(7)}}, "originalMediaSize 7 is not one of 2, 12"},
      {{{"scanParameters.scanWindow.bottomRight.x", integer(30)}}, "scanWindow (30, 40)-(30, 240) is empty"},
      {{{"scanParameters.scanWindow.topLeft.y", integer(-1)}}, "is empty"},
      {{{"scanParameters.scanWindow.bottomRight.x", integer(1276)}}, "reaches past the glass at 150 dpi (1275 x 1754)"},
      {{{"scanParameters.resolution", []() -> Element* { return new StringElem("150"); }}},
       "scanParameters.resolution is not an integer"},
      {{{"scanParameters.scanWindow", integer(0)}}, "scanParameters.scanWindow is not a map"},
      {{{"scanParameters.source", removed}}, "scanParameters.source is missing"},
      {{{"scanParameters.scanWindow.topLeft.y", removed}}, "scanParameters.scanWindow.topLeft.y is missing"},
      {{{"usbParameters.speed", integer(1)}}, "usbParameters.speed is not an entry of usbParameters"},
      {{{"jobParameters", []() -> Element* { return new MapElem(); }}},
       "jobParameters is not an entry of the parameter map"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.fault);
    Reset({});
    received_ = Received();
    sim_->BulkWrite(kRequestEndpoint, Request("system", "enterHostUSBSendMode", &s, 77, [&](MapElem& m) {
                      for (const auto& change : row.changes) SetEntry(m, change.first, change.second());
                    }));
    ASSERT_EQ(ReadReplies().at(0).type, "exception");
    EXPECT_NE(received_.replies.at(0).find(row.fault), std::string::npos) << received_.replies[0];
    EXPECT_FALSE(sim_->inHostSendMode());
  }
}

TEST_F(DeviceModelTest, RefusesCallsOutOfTheirOrderOrForm) {
  const ScanningParamBlock s = Settings(150, 0, 8, 30, 40, 300, 200);
  const ScanningParamBlock other = Settings(150, 0, 8, 30, 40, 300, 201);
  struct Step {
    const char* obj;
    const char* method;
    const ScanningParamBlock* settings;
    int id;
  };
  const Step enter{"system", "enterHostUSBSendMode", &s, 77}, create{"jobFactory", "create", &s, 77},
      start{"Job1", "start", nullptr, 77};
  const struct {
    std::vector<Step> steps;  // all but the last are answered with a response
    const char* fault;
  } rows[] = {
      {{{"jobFactory", "create", &s, 77}}, "not in host send mode"},
      {{{"system", "exitHostUSBSendMode", nullptr, 77}}, "exitHostUSBSendMode while not in host send mode"},
      {{enter, enter}, "enterHostUSBSendMode while in host send mode"},
      {{{"system", "enterHostUSBSendMode", &s, 12345}}, "request identifier \"12345\" is not a number below 10000"},
      {{enter, {"jobFactory", "create", &s, 78}}, "request identifier 78 differs from the job's 77"},
      {{{"system", "enterHostUSBSendMode", nullptr, 77}}, "enterHostUSBSendMode takes one argument"},
      {{enter, {"jobFactory", "create", nullptr, 77}}, "first argument is not the text HostSendJob"},
      {{enter, {"jobFactory", "create", &other, 77}}, "differ from those of enterHostUSBSendMode"},
      {{enter, create, create}, "create after create"},
      {{enter, create, {"Job1", "start", &s, 77}}, "start takes no arguments"},
      {{enter, create, start, start}, "start of Job1 out of order"},
      {{enter, create, start, {"system", "exitHostUSBSendMode", nullptr, 77}},
       "exitHostUSBSendMode before done of Job1"},
      {{enter, create, {"Job1", "done", nullptr, 77}}, "no method done on object Job1"},
      {{{"scanner", "enterHostUSBSendMode", &s, 77}}, "no method enterHostUSBSendMode on object scanner"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.fault);
    Reset({});
    received_ = Received();
    for (const Step& step : row.steps) {
      const bool last = &step == &row.steps.back();
      ListElem args;
      if (std::string(step.method) == "create" && step.settings == nullptr) {
        args.add(static_cast<Element*>(ParameterMap(s).release()));  // the map without "HostSendJob"
        sim_->BulkWrite(kRequestEndpoint, tarvell::testing::CallPacket(step.id, step.obj, step.method, args));
      } else {
        sim_->BulkWrite(kRequestEndpoint, Request(step.obj, step.method, step.settings, step.id));
      }
      ASSERT_EQ(ReadReplies().at(0).type, last ? "exception" : "response") << step.method;
    }
    EXPECT_NE(received_.replies.back().find(row.fault), std::string::npos) << received_.replies.back();
  }
}

TEST_F(DeviceModelTest, StreamsTheChartFramedAndCutAcrossReads) {
  SimulatedScannerOptions o;
  o.imagePacketSize = 4096;
  Reset(o);
  const ScanningParamBlock s = Settings(100, 1, 8, 30, 40, 500, 300);
  EnterAndCreate(s);
  // Before "start" the image pipe has nothing.
  EXPECT_EQ(sim_->BulkRead(kImageEndpoint, 102400).status, kIOReturnTimeout);
  Call("Job1", "start");
  std::vector<size_t> sizes;
  const std::vector<IOReturn> statuses = DrainImage(10000, &sizes);
  ASSERT_GE(statuses.size(), 2u);
  EXPECT_EQ(statuses.back(), kIOReturnTimeout);
  EXPECT_TRUE(std::all_of(statuses.begin(), statuses.end() - 1, [](IOReturn x) { return x == kIOReturnSuccess; }));
  // The reads are cut at varying points, some short of the capacity.
  EXPECT_TRUE(std::any_of(sizes.begin(), sizes.end() - 2, [](size_t n) { return n < 10000; }));

  // 100 dpi colour is sent as 150 dpi with the window scaled by 1.5.
  ChartRequest expected;
  expected.contentType = kContentColour;
  expected.resolution = 150;
  expected.window = {45, 60, 795, 510};
  EXPECT_EQ(sim_->lastRequest().window.right, 795);
  const std::vector<uint8_t> chart = RenderChart(expected);
  EXPECT_TRUE(image_.image == chart);
  ASSERT_GE(image_.types.size(), 5u);
  EXPECT_EQ(image_.types[0], 0xAA);
  EXPECT_EQ(image_.types[1], 0xBB);
  EXPECT_EQ(image_.types[image_.types.size() - 2], 0xEE);
  EXPECT_EQ(image_.types.back(), 0xFF);
  for (size_t i = 2; i + 2 < image_.types.size(); ++i) EXPECT_EQ(image_.types[i], 0xDD);
  for (size_t i = 0; i + 1 < image_.imagePacketSizes.size(); ++i) EXPECT_EQ(image_.imagePacketSizes[i], 4096u);
  // Once read, the pipe keeps timing out.
  EXPECT_EQ(sim_->BulkRead(kImageEndpoint, 102400).status, kIOReturnTimeout);
}

TEST_F(DeviceModelTest, MisbehavesOnDemand) {
  const ScanningParamBlock s = Settings(75, 0, 1, 0, 0, 100, 100);
  {
    SimulatedScannerOptions o;
    o.misbehave.timeoutsBeforeData = 3;
    o.misbehave.exceptionFor = {"enterHostUSBSendMode"};
    o.misbehave.noReplyFor = {"exitHostUSBSendMode"};
    Reset(o);
    EXPECT_EQ(Call("system", "enterHostUSBSendMode", &s)[0].type, "exception");
    EXPECT_FALSE(sim_->inHostSendMode());  // the call had no effect
    sim_->misbehave().exceptionFor.clear();
    EnterAndCreate(s);
    Call("Job1", "start");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(sim_->BulkRead(kImageEndpoint, 102400).status, kIOReturnTimeout);
    EXPECT_EQ(sim_->BulkRead(kImageEndpoint, 102400).status, kIOReturnSuccess);
    EXPECT_TRUE(Call("system", "exitHostUSBSendMode").empty());
    EXPECT_EQ(sim_->BulkRead(kReplyEndpoint, 512).status, kIOReturnTimeout);
  }
  {
    // A reply cut in two and unknown packets in both streams.
    SimulatedScannerOptions o;
    o.misbehave.splitReplyFor = {"create"};
    o.misbehave.unknownPackets = true;
    Reset(o);
    received_ = Received();
    image_ = Received();
    Call("system", "enterHostUSBSendMode", &s);
    EXPECT_TRUE(Call("jobFactory", "create", &s).empty());
    std::vector<Reply> rest = ReadReplies();
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].result, "Job1");
    Call("Job1", "start");
    DrainImage();
    EXPECT_TRUE(image_.image == RenderChart(sim_->lastRequest()));
    EXPECT_EQ(std::count(received_.types.begin(), received_.types.end(), 0xCC), 3);
    tarvell::LogCapture log;
    // The project's framer skips them and says so.
    Received r;
    auto f = Framer(r);
    sim_->BulkWrite(kRequestEndpoint, Request("system", "exitHostUSBSendMode"));
    f->receiveData(sim_->BulkRead(kReplyEndpoint, 512).data);
    EXPECT_TRUE(log.contains("Uh oh.  Got a packet of an unknown type."));
    EXPECT_EQ(r.replies.size(), 1u);
  }
}

TEST_F(DeviceModelTest, GoesAwayAfterTheGivenBytes) {
  SimulatedScannerOptions o;
  o.misbehave.goneAfterBytes = 5000;
  std::shared_ptr<SimBus> bus = SimBus::Create();
  sim_ = InstallSimulatedScanner(*bus, o);
  ASSERT_EQ(bus->devices().size(), 1u);
  EXPECT_EQ(bus->devices()[0]->model(), sim_.get());
  {
    // The driver finds it and its three pipes.
    SetActiveBus(bus);
    CSimpleScanner scanner(o.locationID);
    EXPECT_TRUE(scanner.m_opened);
    EXPECT_NE(scanner.m_ipi, 0);
    SetActiveBus(nullptr);
  }

  EnterAndCreate(Settings(300, 1, 8, 0, 0, 300, 300));
  Call("Job1", "start");
  size_t delivered = 0;
  IOReturn status = kIOReturnSuccess;
  while (status == kIOReturnSuccess) {
    SimReadAnswer a = sim_->BulkRead(kImageEndpoint, 1000);
    status = a.status;
    delivered += a.data.size();
  }
  EXPECT_EQ(delivered, 5000u);
  EXPECT_EQ(status, kIOReturnNoDevice);
  EXPECT_TRUE(sim_->gone());
  EXPECT_FALSE(bus->devices()[0]->plugged());
  EXPECT_EQ(sim_->BulkWrite(kRequestEndpoint, Request("system", "exitHostUSBSendMode")), kIOReturnNoDevice);
  EXPECT_EQ(sim_->BulkRead(kReplyEndpoint, 512).status, kIOReturnNoDevice);
}

TEST_F(DeviceModelTest, ShortOrCorruptImagesAreSentAsTold) {
  SimulatedScannerOptions o;
  o.misbehave.shortImageBy = 123;
  Reset(o);
  EnterAndCreate(Settings(75, 0, 8, 0, 0, 64, 32));
  Call("Job1", "start");
  DrainImage();
  const ChartGeometry g = ComputeChartGeometry(sim_->lastRequest());
  EXPECT_EQ(image_.image.size(), g.totalSize() - 123);
  EXPECT_EQ(std::string(image_.image.begin(), image_.image.begin() + 3), "P5\n");

  sim_->misbehave().shortImageBy = 0;
  sim_->misbehave().corruptHeader = true;
  image_ = Received();
  Call("Job1.scanJob", "done");
  Call("system", "exitHostUSBSendMode");
  EnterAndCreate(Settings(75, 0, 8, 0, 0, 64, 32));
  Call("Job2", "start");
  DrainImage();
  EXPECT_EQ(image_.image.size(), g.totalSize());
  EXPECT_EQ(std::count(image_.image.begin(), image_.image.begin() + long(g.header.size()), '\n'), 0);
  EXPECT_TRUE(image_.image == sim_->lastImage());
}

// The stream as the device frames it, built whole, packet by packet.
std::vector<UInt8> ReferenceStream(const std::vector<uint8_t>& pnm, size_t packetSize, bool unknown) {
  using tarvell::testing::Packet;
  std::vector<UInt8> s;
  auto add = [&](const std::vector<UInt8>& p) { s.insert(s.end(), p.begin(), p.end()); };
  add(Packet(kPacketBeginImageJob));
  if (unknown) add(Packet(0x42, "\xDE\xAD\xBE\xEF"));
  add(Packet(kPacketBeginImagePage));
  for (size_t at = 0; at < pnm.size(); at += packetSize) {
    add(Packet(kPacketImageData,
               std::string(pnm.begin() + long(at), pnm.begin() + long(std::min(pnm.size(), at + packetSize)))));
    if (unknown && at == 0) add(Packet(0x42, "\xDE\xAD\xBE\xEF"));
  }
  add(Packet(kPacketEndImagePage));
  add(Packet(kPacketEndImageJob));
  return s;
}

TEST_F(DeviceModelTest, FramesThePageAsItSendsItByteForByte) {
  for (const char* simulate : {"", "packet-size=1 unknown-packets", "packet-size=777 unknown-packets short-image-by=5",
                               "corrupt-header seed=7", "gone-after-bytes=1000 packet-size=100"}) {
    SCOPED_TRACE(simulate);
    SimulatedScannerOptions o;
    ASSERT_TRUE(ParseSimulatedScannerOptions(simulate, &o, nullptr, nullptr));
    Reset(o);
    EnterAndCreate(Settings(75, 0, 8, 0, 0, 64, 40));
    Call("Job1", "start");
    std::vector<UInt8> sent;
    for (SimReadAnswer a; (a = sim_->BulkRead(kImageEndpoint, 3000)).status == kIOReturnSuccess;)
      sent.insert(sent.end(), a.data.begin(), a.data.end());
    const std::vector<UInt8> whole = ReferenceStream(sim_->lastImage(), o.imagePacketSize, o.misbehave.unknownPackets);
    EXPECT_EQ(sim_->streamSize(), int64_t(whole.size()));
    EXPECT_EQ(sim_->streamedBytes(), int64_t(sent.size()));
    EXPECT_EQ(sent.size(), o.misbehave.goneAfterBytes < 0 ? whole.size() : 1000u);
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), whole.begin(), whole.begin() + long(sent.size())));
  }
}

TEST_F(DeviceModelTest, PacedStreamCrossesAtItsRateAndReadsWaitForTheirShare) {
  auto clock = std::make_shared<VirtualClock>();
  SimulatedScannerOptions o;
  o.pace = 100000;  // 10 ms worth is 1000 bytes
  Reset(o, clock);
  EnterAndCreate(Settings(150, 0, 8, 0, 0, 300, 300));
  Call("Job1", "start");
  const uint64_t start = clock->NowMicros(), size = uint64_t(sim_->streamSize());
  auto crossed = [&](uint64_t now) { return std::min(size, (now - start) / 10); };
  clock->SleepUntil(start + 25000);  // the reader was busy: what crossed meanwhile comes at once
  uint64_t delivered = 0, reads = 0;
  for (SimReadAnswer a; (a = sim_->BulkRead(kImageEndpoint, 102400)).status == kIOReturnSuccess; ++reads) {
    delivered += a.data.size();
    const uint64_t now = clock->NowMicros();
    // Never ahead of the pace; past the backlog a read comes back as soon as its share has crossed.
    EXPECT_LE(delivered, crossed(now));
    EXPECT_TRUE(now == start + 25000 || (delivered == crossed(now) && a.data.size() <= 1000)) << delivered;
  }
  EXPECT_EQ(delivered, size);
  EXPECT_EQ(clock->NowMicros(), start + size * 10);  // the page took its bytes over the pace
  EXPECT_LT(reads, size / 900);                      // reads do not spin on small amounts
}

// Whole scans: the driver's own job against the simulated scanner on the simulated bus.
class SimulatedScanJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bus_ = SimBus::Create();
    SetActiveBus(bus_);
    glJobName.clear();
  }
  void TearDown() override { SetActiveBus(nullptr); }

  std::shared_ptr<SimulatedScanner> Simulate(SimulatedScannerOptions o = {},
                                             std::shared_ptr<SimClock> clock = nullptr) {
    o.locationID = kLocation;
    return InstallSimulatedScanner(*bus_, o, clock);
  }
  std::unique_ptr<CSimpleScanner> Open(const ScanningParamBlock& s) {
    auto scanner = std::make_unique<CSimpleScanner>(kLocation);
    EXPECT_TRUE(scanner->m_opened);
    scanner->SetScanningParameters(&s);
    return scanner;
  }
  std::shared_ptr<SimBus> bus_;
};

TEST_F(SimulatedScanJobTest, ColourPageArrivesWhole) {
  auto sim = Simulate();
  auto scanner = Open(Settings(300, 1, 8, 0, 0, 2550, 3300));
  std::unique_ptr<ScanData> image;
  ASSERT_EQ(scanner->MyScanToBuffer(&image), kIOReturnSuccess);
  ASSERT_TRUE(image);
  ChartRequest expected;
  expected.window = {0, 0, 2550, 3300};
  EXPECT_TRUE(*image == RenderChart(expected)) << "image bytes differ from the chart";
  ASSERT_EQ(sim->calls().size(), 5u);
  EXPECT_EQ(sim->calls()[2].objName, "Job1");
  EXPECT_EQ(sim->calls()[3].objName, "Job1.scanJob");
  for (const ReceivedCall& c : sim->calls()) EXPECT_FALSE(c.answeredWithException) << c.method;
  EXPECT_FALSE(sim->inHostSendMode());
  EXPECT_TRUE(sim->jobs().empty());
  scanner.reset();
  EXPECT_EQ(bus_->LiveObjects(), 0);
}

TEST_F(SimulatedScanJobTest, EveryModeAndResolutionGivesTheChartItAskedFor) {
  auto sim = Simulate();
  auto scanner = Open(Settings(600, 0, 1, 0, 0, 5100, 7014));
  std::unique_ptr<ScanData> image;
  for (UInt8 colour : {0, 1})
    for (UInt8 format : {1, 8})
      for (UInt32 res : {75u, 200u, 400u}) {
        SCOPED_TRACE(testing::Message() << res << " dpi, colour " << int(colour) << " format " << int(format));
        const ScanningParamBlock s = Settings(res, colour, format, res / 2, res, res * 2, res * 3);
        scanner->SetScanningParameters(&s);
        ASSERT_EQ(scanner->MyScanToBuffer(&image), kIOReturnSuccess);
        ASSERT_TRUE(image);
        EXPECT_TRUE(*image == RenderChart(sim->lastRequest()));
        const ChartGeometry g = ComputeChartGeometry(sim->lastRequest());
        EXPECT_EQ(g.formatDigit, colour ? 6 : (format == 1 ? 4 : 5));
        EXPECT_EQ(g.width, UInt32(sim->lastRequest().resolution) * 2);
      }
  EXPECT_EQ(glJobName, "0");
}

TEST_F(SimulatedScanJobTest, DeviceGoneDuringDataEndsTheJob) {
  SimulatedScannerOptions o;
  o.misbehave.goneAfterBytes = 100000;
  auto sim = Simulate(o);
  auto scanner = Open(Settings(300, 1, 8, 0, 0, 1000, 1000));
  std::unique_ptr<ScanData> image;
  EXPECT_EQ(UInt32(scanner->MyScanToBuffer(&image)), 0xE00002C0u);
  EXPECT_EQ(image, nullptr);
  EXPECT_FALSE(scanner->m_opened);
  EXPECT_TRUE(sim->gone());
  EXPECT_EQ(sim->calls().size(), 3u);
  scanner.reset();
  EXPECT_EQ(bus_->LiveObjects(), 0);
}

TEST_F(SimulatedScanJobTest, RefusedJobEndsWithoutImageButClosesTheMode) {
  SimulatedScannerOptions o;
  o.misbehave.exceptionFor = {"start"};
  auto sim = Simulate(o);
  auto scanner = Open(Settings(150, 1, 8, 0, 0, 100, 100));
  std::unique_ptr<ScanData> image;
  ASSERT_EQ(scanner->MyScanToBuffer(&image), kIOReturnSuccess);
  EXPECT_EQ(image, nullptr);
  ASSERT_EQ(sim->calls().size(), 5u);
  EXPECT_TRUE(sim->calls()[2].answeredWithException);
  EXPECT_TRUE(sim->jobs().empty());
  EXPECT_FALSE(sim->inHostSendMode());
}

TEST_F(SimulatedScanJobTest, CutReplyAndUnknownPacketsLeaveTheImageIntact) {
  // The rest of the "start" reply arrives only with the reply read of "done", after the image.
  SimulatedScannerOptions o;
  o.misbehave.splitReplyFor = {"start"};
  o.misbehave.unknownPackets = true;
  auto sim = Simulate(o);
  auto scanner = Open(Settings(150, 0, 8, 10, 10, 300, 200));
  tarvell::LogCapture log;
  std::unique_ptr<ScanData> image;
  ASSERT_EQ(scanner->MyScanToBuffer(&image), kIOReturnSuccess);
  ASSERT_TRUE(image);
  EXPECT_TRUE(*image == RenderChart(sim->lastRequest()));
  EXPECT_TRUE(log.contains("Uh oh.  Got a packet of an unknown type."));
}

TEST_F(SimulatedScanJobTest, SlowDeviceIsWaitedForWithinTheBound) {
  SimulatedScannerOptions o;
  o.misbehave.timeoutsBeforeData = tarvell::kScanJobIdleReadLimit - 1;
  auto sim = Simulate(o);
  auto scanner = Open(Settings(75, 0, 1, 0, 0, 100, 100));
  std::unique_ptr<ScanData> image;
  ASSERT_EQ(scanner->MyScanToBuffer(&image), kIOReturnSuccess);
  ASSERT_TRUE(image);
  EXPECT_TRUE(*image == RenderChart(sim->lastRequest()));

  // One time-out more and the job gives up, still closing the device's job and mode.
  sim->misbehave().timeoutsBeforeData = tarvell::kScanJobIdleReadLimit;
  const UInt64 before = bus_->Now();
  ASSERT_EQ(scanner->MyScanToBuffer(&image), kIOReturnSuccess);
  EXPECT_EQ(image, nullptr);
  EXPECT_EQ(bus_->Now() - before, UInt64(tarvell::kScanJobIdleReadLimit) * 15000);
  EXPECT_EQ(sim->calls().size(), 10u);
  EXPECT_EQ(sim->calls()[8].objName, "Job2.scanJob");
  EXPECT_TRUE(sim->jobs().empty());
  EXPECT_FALSE(sim->inHostSendMode());
}

TEST_F(SimulatedScanJobTest, PacedTimeOutsLastTheSilenceOrTheDriversTimeOut) {
  for (const int64_t silence : {int64_t(40), int64_t(-1)}) {
    SetUp();  // a bus of its own
    auto clock = std::make_shared<VirtualClock>();
    SimulatedScannerOptions o;
    o.pace = 1000000;  // a byte a microsecond
    o.silenceMs = silence;
    o.misbehave.timeoutsBeforeData = 2;
    auto sim = Simulate(o, clock);
    auto scanner = Open(Settings(75, 0, 8, 0, 0, 100, 100));
    std::unique_ptr<ScanData> image;
    ASSERT_EQ(scanner->MyScanToBuffer(&image), kIOReturnSuccess);
    ASSERT_TRUE(image && *image == sim->lastImage());
    // Two silences before the page, the page at its pace, and the silence that ends it.
    const uint64_t wait = silence >= 0 ? uint64_t(silence) * 1000 : 15000000;
    EXPECT_EQ(clock->NowMicros(), 3 * wait + uint64_t(sim->streamSize()));
    EXPECT_EQ(bus_->Now(), clock->NowMicros() / 1000);
  }
}

TEST_F(SimulatedScanJobTest, MisbehavioursAreTheSameWhenPaced) {
  // The job's status, the calls as the device answered them, and the image.
  auto scan = [&](const std::string& simulate, std::shared_ptr<SimClock> clock) {
    SimulatedScannerOptions o;
    EXPECT_TRUE(ParseSimulatedScannerOptions(simulate, &o, nullptr, nullptr)) << simulate;
    SetUp();  // a bus of its own
    auto sim = Simulate(o, clock);
    std::unique_ptr<ScanData> image;
    std::string out = std::to_string(Open(Settings(150, 1, 8, 0, 0, 200, 150))->MyScanToBuffer(&image)) + ":";
    for (const ReceivedCall& c : sim->calls()) out += c.method + (c.answeredWithException ? "! " : " ");
    return image ? out + std::string(image->begin(), image->end()) : out;
  };
  for (const std::string simulate :
       {"gone-after-bytes=5000", "short-image-by=100", "corrupt-header", "unknown-packets", "split-reply-for=start",
        "exception-for=start", "no-reply-for=done", "timeouts-before-data=6"})
    EXPECT_TRUE(scan(simulate, nullptr) == scan(simulate + " pace=2M silence=20", std::make_shared<VirtualClock>()))
        << simulate;
}

TEST_F(SimulatedScanJobTest, PacedPageOnTheRealClockTakesAtLeastItsBytesOverThePace) {
  SimulatedScannerOptions o;
  o.pace = 4000000;
  o.silenceMs = 10;
  auto sim = Simulate(o);
  auto scanner = Open(Settings(150, 0, 8, 0, 0, 600, 600));
  std::atomic<bool> done{false};
  std::thread watcher([&] {  // what a frontend's thread may watch while the page crosses
    for (int64_t last = 0, now = 0; !done; last = now, std::this_thread::sleep_for(std::chrono::milliseconds(1)))
      EXPECT_LE(last, now = sim->streamedBytes());
  });
  const auto start = std::chrono::steady_clock::now();
  std::unique_ptr<ScanData> image;
  ASSERT_EQ(scanner->MyScanToBuffer(&image), kIOReturnSuccess);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  done = true;
  watcher.join();
  ASSERT_TRUE(image && *image == sim->lastImage());
  EXPECT_GE(elapsed.count(), double(sim->streamSize()) / double(o.pace));
  EXPECT_GE(bus_->Now(), UInt64(sim->streamSize()) * 1000 / o.pace);  // the bus's time is real time
}

}  // namespace

namespace {

TEST(ScannerMisbehaviourText, ReadsEveryItemAndRefusesTheRest) {
  SimulatedScannerOptions options;
  std::string bad, why;
  ASSERT_TRUE(ParseSimulatedScannerOptions(
      "timeouts-before-data=3,gone-after-bytes=5000,exception-for=create,start split-reply-for=done "
      "no-reply-for=exitHostUSBSendMode unknown-packets,short-image-by=10 corrupt-header",
      &options, &bad, &why))
      << why;
  const ScannerMisbehaviour& m = options.misbehave;
  EXPECT_EQ(m.timeoutsBeforeData, 3);
  EXPECT_EQ(m.goneAfterBytes, 5000);
  EXPECT_EQ(m.exceptionFor, (std::vector<std::string>{"create", "start"}));
  EXPECT_EQ(m.splitReplyFor, (std::vector<std::string>{"done"}));
  EXPECT_EQ(m.noReplyFor, (std::vector<std::string>{"exitHostUSBSendMode"}));
  EXPECT_TRUE(m.unknownPackets);
  EXPECT_EQ(m.shortImageBy, 10u);
  EXPECT_TRUE(m.corruptHeader);

  SimulatedScannerOptions plain;
  ASSERT_TRUE(ParseSimulatedScannerOptions("", &plain, &bad, &why));
  EXPECT_EQ(plain.misbehave.timeoutsBeforeData, 0);
  EXPECT_EQ(plain.misbehave.goneAfterBytes, -1);
  EXPECT_TRUE(plain.misbehave.exceptionFor.empty());

  plain.misbehave.timeoutsBeforeData = 9;
  for (const char* item :
       {"timeouts-before-data", "timeouts-before-data=", "timeouts-before-data=-1", "timeouts-before-data=x",
        "gone-after-bytes=1e3", "exception-for=", "unknown-packets=1", "fast", "short-image-by=99999999999999999999"}) {
    bad.clear();
    EXPECT_FALSE(ParseSimulatedScannerOptions(item, &plain, &bad, &why)) << item;
    EXPECT_EQ(bad, item) << why;
  }
  EXPECT_EQ(plain.misbehave.timeoutsBeforeData, 9);
}

TEST(ScannerMisbehaviourText, ReadsPaceAndSilenceAndRefusesBadValues) {
  SimulatedScannerOptions o;
  std::string bad, why;
  for (const auto& [text, pace] : {std::pair{"pace=2M", 2000000ull},
                                   {"pace=500k silence=0", 500000ull},
                                   {"silence=50,pace=123456", 123456ull},
                                   {"pace=10000M", kMaxPace}}) {
    ASSERT_TRUE(ParseSimulatedScannerOptions(text, &o, &bad, &why)) << why;
    EXPECT_EQ(o.pace, pace) << text;
  }
  EXPECT_EQ(o.silenceMs, 50);
  // Each refused with the item named and the options untouched.
  for (const std::string item : {"pace", "pace=1.5M", "pace=-1", "pace=M", "pace=10001M", "silence=", "silence=50"}) {
    SimulatedScannerOptions fresh;
    EXPECT_FALSE(ParseSimulatedScannerOptions(item + " seed=3", &fresh, &bad, &why)) << item;
    EXPECT_EQ(bad, item);
    EXPECT_EQ(fresh.seed, 1u);
  }
  EXPECT_EQ(why, "'silence' needs 'pace': without a pace the simulated scanner runs on virtual time");
  for (const auto& [text, message] :
       {std::pair{"pace=2G", "'pace' needs a rate in bytes per second, e.g. pace=2M"},
        {"pace=0", "'pace' is a rate from 1 to 10000M bytes per second"},
        {"silence=x", "'silence' needs a time in milliseconds up to 3600000, e.g. silence=50"}}) {
    EXPECT_FALSE(ParseSimulatedScannerOptions(text, &o, &bad, &why));
    EXPECT_EQ(why, message);
  }
}

}  // namespace
