#include "sim/SimulatedScanner.h"
#include "usb/CSimpleScanner.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "platform/system/Log.h"
#include "platform/usb/SimBus.h"

using namespace tarvell::usb;
using tarvell::sim::K310Layout;
using tarvell::sim::MakeK310;

namespace {

constexpr UInt32 kLocation = 0x01410000;

class ScannerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bus_ = SimBus::Create();
    SetActiveBus(bus_);
  }
  void TearDown() override {
    tarvell::testing::FailNext(tarvell::ScannerCall::kAllocateBuffer, 0);
    SetActiveBus(nullptr);
  }
  // Nothing handed out by the bus is still alive or open.
  void ExpectAllReleased() {
    EXPECT_EQ(bus_->LiveObjects(), 0);
    EXPECT_EQ(bus_->OpenObjects(), 0);
  }
  std::vector<SimOp> Ops() const {
    std::vector<SimOp> ops;
    for (const SimCall& c : bus_->Calls()) ops.push_back(c.op);
    return ops;
  }
  std::shared_ptr<SimBus> bus_;
};

SimEndpoint Bulk(UInt8 direction, UInt8 number, UInt16 maxPacket = 512) {
  return SimEndpoint{direction, number, kUSBBulk, maxPacket, 0};
}

SimDeviceSpec OneSetting(std::vector<SimEndpoint> endpoints, UInt16 vendor = 0x2B7E, UInt16 product = 0x0C5A) {
  SimDeviceSpec desc;
  desc.vendorID = vendor;
  desc.productID = product;
  desc.locationID = kLocation;
  SimInterfaceSpec iface;
  iface.settings = {std::move(endpoints)};
  desc.interfaces.push_back(iface);
  return desc;
}

TEST_F(ScannerTest, OpensTheScannerAndAssignsItsThreePipes) {
  bus_->AddDevice(MakeK310(kLocation));
  tarvell::LogCapture log;
  CSimpleScanner s(kLocation);

  EXPECT_TRUE(s.m_opened);
  ASSERT_TRUE(s.m_inf);
  EXPECT_EQ(s.m_bpo, 1);
  EXPECT_EQ(s.m_bpi, 2);
  EXPECT_EQ(s.m_ipi, 3);
  EXPECT_EQ(s.m_numEndpoints, 3);
  EXPECT_EQ(s.m_bulkMaxPacketSize, 512u);
  EXPECT_EQ(s.m_ipiMaxPacketSize, 512u);
  EXPECT_TRUE(s.m_smSendBuf && s.m_smRecBuf && s.m_bgRecBuf);
  EXPECT_EQ(bus_->OpenObjects(), 1);

  // Construction values the host interface relies on.
  EXPECT_EQ(s.m_locationID, kLocation);
  EXPECT_STREQ(s.m_name, "Tarvell K310 (USB)");
  EXPECT_EQ(s.m_vendorID, 0x2B7E);
  EXPECT_EQ(s.m_productID, 0x0C5A);
  EXPECT_EQ(s.m_maxMainScanLen, 5100);
  EXPECT_EQ(s.m_maxSubScanLen, 7014);
  EXPECT_EQ(s.m_params.mainScanRes, 600u);
  EXPECT_EQ(s.m_params.subScanLen, 7014u);
  EXPECT_EQ(s.m_params.colorMode, 1);
  EXPECT_EQ(s.m_params.dataFormat, 8);
  EXPECT_EQ(s.m_params.mainScanScale, 0);
  EXPECT_EQ(s.m_resolutionX, 600u);
  EXPECT_EQ(s.m_resolutionY, 600u);
  EXPECT_FALSE(s.m_scanData || s.m_resolutions || s.m_scanAreas || s.m_tiffData);
  EXPECT_EQ(s.m_scanAreaCount, 0);
  EXPECT_EQ(s.m_fileObject, 0u);

  const std::vector<std::string> expected = {
      "CSimpleScanner()",
      "OpenMyDevice()",
      "DealWithInterface()",
      " > dealWithInterface: found 3 pipes\n",
      "DealWithPipes()",
      " > m_bpi: 0,\tm_bpo: 0,\tm_ipi: 0",
      " > m_inf: 1,\ti: 1,\tdirection: 0,\tnumber: 2,\ttransferType: 2,\tmaxPacketSize: 512,\tinterval: 0",
      " > dealWithPipes: grabbing BULK OUT pipe index 1, number 2\n",
      " > m_inf: 1,\ti: 2,\tdirection: 1,\tnumber: 11,\ttransferType: 2,\tmaxPacketSize: 512,\tinterval: 0",
      " > dealWithPipes: grabbing BULK IN pipe index 2, number 11\n",
      " > m_inf: 1,\ti: 3,\tdirection: 1,\tnumber: 8,\ttransferType: 2,\tmaxPacketSize: 512,\tinterval: 0",
      " > dealWithPipes: grabbing BULK IN pipe index 3, number 8\n",
      " > CSimpleScanner found and left opened.\n",
  };
  EXPECT_EQ(log.lines(), expected);
}

TEST_F(ScannerTest, EmptyDefaultSettingSwitchesToAlternateSettingOneWithThirteenPipes) {
  bus_->AddDevice(MakeK310(kLocation, K310Layout::kAltSetting1));
  CSimpleScanner s(kLocation);
  ASSERT_TRUE(s.m_opened);
  EXPECT_EQ(s.m_numEndpoints, 13);
  EXPECT_EQ(s.m_bpo, 3);
  EXPECT_EQ(s.m_ipi, 9);
  EXPECT_EQ(s.m_bpi, 12);
  auto alt = bus_->CallsOf(SimOp::SetAlternateInterface);
  ASSERT_EQ(alt.size(), 1u);
  EXPECT_EQ(alt[0].pipe, 1);
  EXPECT_EQ(bus_->CallsOf(SimOp::GetPipeProperties).size(), 13u);
}

TEST_F(ScannerTest, AlternateSettingWithFewerThanThirteenPipesIsGivenUp) {
  SimDeviceSpec desc = OneSetting({});
  desc.interfaces[0].settings.push_back({Bulk(kUSBOut, 2), Bulk(kUSBIn, 11), Bulk(kUSBIn, 8)});
  bus_->AddDevice(desc);
  tarvell::LogCapture log;
  CSimpleScanner s(kLocation);
  EXPECT_FALSE(s.m_opened);
  EXPECT_FALSE(s.m_inf);
  EXPECT_TRUE(log.contains(" > ERROR: dealWithPipes: unable to get pipe properties for pipe 4, err = e00002c2\n"));
  ExpectAllReleased();
}

TEST_F(ScannerTest, PipeClassificationAndPacketSizes) {
  // Endpoint 11 after endpoint 2: the bulk packet size is the later pipe's.
  bus_->AddDevice(OneSetting({Bulk(kUSBOut, 2, 512), Bulk(kUSBIn, 5), Bulk(kUSBIn, 11, 64),
                              SimEndpoint{kUSBIn, 3, kUSBInterrupt, 8, 10}, Bulk(kUSBOut, 11)}));
  tarvell::LogCapture log;
  CSimpleScanner s(kLocation);
  ASSERT_TRUE(s.m_opened);
  EXPECT_EQ(s.m_bpo, 1);
  EXPECT_EQ(s.m_bpi, 3);
  EXPECT_EQ(s.m_ipi, 0);
  EXPECT_EQ(s.m_bulkMaxPacketSize, 64u);
  EXPECT_EQ(s.m_ipiMaxPacketSize, 0u);
  for (int pipe : {2, 4, 5})
    EXPECT_TRUE(log.contains(" > dealWithPipes: skipping pipe " + std::to_string(pipe) +
                             " because it is not a bulk or an interrupt pipe\n"));

  bus_->devices()[0]->Unplug();
  bus_->AddDevice(OneSetting({Bulk(kUSBIn, 11, 64), Bulk(kUSBOut, 2, 512)}));
  CSimpleScanner t(kLocation);
  ASSERT_TRUE(t.m_opened);
  EXPECT_EQ(t.m_bulkMaxPacketSize, 512u);
}

// One way of failing to open, and what it must leave behind.
struct OpenFault {
  K310Layout layout;
  SimOp op;
  int nth;
  IOReturn status;
  std::string line;
};

void PrintTo(const OpenFault& f, std::ostream* os) { *os << SimOpName(f.op) << " #" << f.nth; }

class ScannerOpenFault : public ScannerTest, public ::testing::WithParamInterface<OpenFault> {};

TEST_P(ScannerOpenFault, LeavesNothingOpenAndLogsWhy) {
  const OpenFault& f = GetParam();
  bus_->AddDevice(MakeK310(kLocation, f.layout));
  bus_->FailNext(f.op, f.nth, f.status);
  tarvell::LogCapture log;
  {
    CSimpleScanner s(kLocation);
    EXPECT_FALSE(s.m_opened);
    EXPECT_FALSE(s.m_inf);
    ExpectAllReleased();
    EXPECT_TRUE(log.contains(f.line)) << f.line;
    EXPECT_EQ(log.lines().back(), " > CSimpleScanner had problems finding and opening.\n");
  }
  EXPECT_EQ(log.lines().back(), "~CSimpleScanner()");
  ExpectAllReleased();
}

std::vector<OpenFault> OpenFaults() {
  const auto D = K310Layout::kDefault;
  const auto A = K310Layout::kAltSetting1;
  std::vector<OpenFault> v = {
      {D, SimOp::CreateMasterPort, 1, kIOReturnNoResources,
       " > ERROR: OpenMyDevice: could not create master port, err = e00002be\n"},
      {D, SimOp::CreateMatching, 1, kIOReturnError, " > ERROR: OpenMyDevice: could not create matching dictionary\n"},
      {D, SimOp::CreatePlugIn, 1, kIOReturnError,
       " > ERROR: dealWithInterface: unable to create plugin. ret = e00002bc, iodev = (nil)\n"},
      {D, SimOp::CreatePlugIn, 1, kIOReturnSuccess,
       " > ERROR: dealWithInterface: unable to create plugin. ret = 00000000, iodev = (nil)\n"},
      {D, SimOp::QueryInterface, 1, kIOReturnUnsupported,
       " > ERROR: dealWithInterface: unable to create a device interface. ret = e00002c7, m_inf = (nil)\n"},
      {D, SimOp::QueryInterface, 1, kIOReturnSuccess,
       " > ERROR: dealWithInterface: unable to create a device interface. ret = 00000000, m_inf = (nil)\n"},
      {D, SimOp::InterfaceOpen, 1, kIOReturnExclusiveAccess,
       " > ERROR: dealWithInterface: unable to open interface. ret = e00002c5\n"},
      {D, SimOp::GetNumEndpoints, 1, kIOReturnNoDevice,
       " > ERROR: dealWithInterface: unable to get number of endpoints. ret = e00002c0\n"},
      {A, SimOp::SetAlternateInterface, 1, kIOReturnError,
       " > ERROR: dealWithInterface: unable to set alternate interface 1. ret = e00002bc\n"},
      {A, SimOp::GetNumEndpoints, 2, kIOReturnError,
       " > ERROR: dealWithInterface: unable to get number of endpoints - alt setting 1. ret = e00002bc\n"},
  };
  for (int pipe = 1; pipe <= 3; ++pipe)
    v.push_back({D, SimOp::GetPipeProperties, pipe, kIOReturnNoDevice,
                 " > ERROR: dealWithPipes: unable to get pipe properties for pipe " + std::to_string(pipe) +
                     ", err = e00002c0\n"});
  for (int pipe : {1, 7, 13})
    v.push_back({A, SimOp::GetPipeProperties, pipe, kIOReturnError,
                 " > ERROR: dealWithPipes: unable to get pipe properties for pipe " + std::to_string(pipe) +
                     ", err = e00002bc\n"});
  return v;
}

INSTANTIATE_TEST_SUITE_P(EveryStep, ScannerOpenFault, ::testing::ValuesIn(OpenFaults()),
                         [](const ::testing::TestParamInfo<OpenFault>& info) {
                           const OpenFault& f = info.param;
                           return std::string(SimOpName(f.op)) + "_" + std::to_string(f.nth) +
                                  (f.layout == K310Layout::kAltSetting1 ? "_Alt1" : "") +
                                  (f.status == kIOReturnSuccess ? "_NoObject" : "");
                         });

TEST_F(ScannerTest, NoInterfaceOnTheBusIsAFailedOpen) {
  tarvell::LogCapture log;
  CSimpleScanner s(kLocation);
  EXPECT_FALSE(s.m_opened);
  EXPECT_FALSE(s.m_smSendBuf);
  EXPECT_EQ(log.lines().back(), " > CSimpleScanner had problems finding and opening.\n");
  SetActiveBus(nullptr);  // the host has not chosen a bus: no registry at all
  CSimpleScanner t(kLocation);
  EXPECT_FALSE(t.m_opened);
  EXPECT_TRUE(log.contains(" > ERROR: OpenMyDevice: could not create master port, err = e00002be\n"));
}

TEST_F(ScannerTest, FailedBufferAllocationLeavesTheScannerClosed) {
  const char* messages[] = {" > ERROR: Can't malloc m_smSendBuf\n", " > ERROR: Can't malloc m_smRecBuf\n",
                            " > ERROR: Can't malloc m_bgRecBuf\n"};
  bus_->AddDevice(MakeK310(kLocation));
  for (int n = 1; n <= 3; ++n) {
    tarvell::testing::FailNext(tarvell::ScannerCall::kAllocateBuffer, n);
    tarvell::LogCapture log;
    CSimpleScanner s(kLocation);
    EXPECT_FALSE(s.m_opened);
    EXPECT_FALSE(s.m_inf);
    EXPECT_EQ(bool(s.m_smRecBuf), n == 3) << n;
    EXPECT_TRUE(log.contains(messages[n - 1]));
    EXPECT_EQ(log.lines().back(), " > CSimpleScanner had problems finding and opening.\n");
    ExpectAllReleased();
  }
}

TEST_F(ScannerTest, ClassOnlyMatchTakesTheFirstInterfaceThatOpens) {
  // Another device's interface at the same location comes first: the simulated bus matches by
  // class within the location, so it is taken (its pipes are none of the scanner's).
  SimDeviceSpec keyboard = OneSetting({SimEndpoint{kUSBIn, 1, kUSBInterrupt, 8, 10}}, 0x1234, 0x0001);
  keyboard.locationID = kLocation;
  bus_->AddDevice(keyboard);
  bus_->AddDevice(MakeK310(kLocation));
  {
    CSimpleScanner s(kLocation);
    EXPECT_TRUE(s.m_opened);
    EXPECT_EQ(s.m_bpo, 0);
    EXPECT_EQ(s.m_bpi, 0);
    EXPECT_EQ(s.m_ipi, 0);
    EXPECT_TRUE(bus_->devices()[0]->interfaceOpen[0]);
    // An interface held by someone else is passed over for the next one.
    CSimpleScanner t(kLocation);
    EXPECT_TRUE(t.m_opened);
    EXPECT_EQ(t.m_bpi, 2);
    EXPECT_TRUE(bus_->devices()[1]->interfaceOpen[0]);
    auto matching = bus_->CallsOf(SimOp::CreateMatching);
    ASSERT_FALSE(matching.empty());
    EXPECT_EQ(matching[0].className, "IOUSBInterface");
    // The location goes along as a hint that narrows the search.
    auto search = bus_->CallsOf(SimOp::GetMatchingServices);
    ASSERT_FALSE(search.empty());
    EXPECT_EQ(search[0].locationID, kLocation);
  }
  ExpectAllReleased();
}

TEST_F(ScannerTest, TransfersUseTheirPipesAndTimeOuts) {
  auto dev = bus_->AddDevice(MakeK310(kLocation));
  CSimpleScanner s(kLocation);
  ASSERT_TRUE(s.m_opened);
  bus_->ClearCalls();

  const char request[] = "hello";
  EXPECT_EQ(s.WritePipeWithBuffer(request, 5), kIOReturnSuccess);
  EXPECT_EQ(std::string(dev->written(2).begin(), dev->written(2).end()), "hello");

  dev->QueueRead(11, "reply");
  dev->QueueRead(8, std::vector<UInt8>(300, 0xAB));
  UInt8 buf[256];
  UInt32 n = sizeof buf;
  EXPECT_EQ(s.ReadControlPipeToBuffer(buf, &n), kIOReturnSuccess);
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(std::memcmp(buf, "reply", 5), 0);
  // The device offers more than the buffer holds: only the capacity is delivered.
  n = 100;
  EXPECT_EQ(s.ReadDataPipeToBuffer(buf, &n), kIOReturnOverrun);
  EXPECT_EQ(n, 100u);

  // Nothing queued: a time-out, at once, on the virtual clock.
  UInt64 before = bus_->Now();
  n = sizeof buf;
  EXPECT_EQ(s.ReadDataPipeToBuffer(buf, &n), kIOReturnTimeout);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(bus_->Now() - before, 15000u);

  dev->QueueRead(11, {}, kIOReturnNoDevice);
  n = sizeof buf;
  EXPECT_EQ(s.ReadControlPipeToBuffer(buf, &n), IOReturn(0xE00002C0));

  const std::vector<std::pair<SimOp, UInt8>> expected = {
      {SimOp::WritePipe, 1}, {SimOp::ReadPipe, 2}, {SimOp::ReadPipe, 3}, {SimOp::ReadPipe, 3}, {SimOp::ReadPipe, 2}};
  ASSERT_EQ(bus_->Calls().size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const SimCall& c = bus_->Calls()[i];
    EXPECT_EQ(c.op, expected[i].first) << i;
    EXPECT_EQ(c.pipe, expected[i].second) << i;
    EXPECT_EQ(c.noDataTimeout, 15000u);
    EXPECT_EQ(c.completionTimeout, 60000u);
  }
  EXPECT_EQ(bus_->Calls()[1].size, 256u);

  // A failed write is reported as the bus reports it, once, without retry.
  bus_->FailNext(SimOp::WritePipe, 1, kIOUSBPipeStalled);
  EXPECT_EQ(s.WritePipeWithBuffer(request, 5), kIOUSBPipeStalled);
  EXPECT_EQ(bus_->CallsOf(SimOp::WritePipe).size(), 2u);
}

TEST_F(ScannerTest, ClearEndpointStallSendsTheHaltRequestThenClearsBothEnds) {
  auto dev = bus_->AddDevice(MakeK310(kLocation));
  {
    CSimpleScanner s(kLocation);
    ASSERT_TRUE(s.m_opened);
    dev->SetHalted(0x8B, true);
    bus_->ClearCalls();
    EXPECT_EQ(s.ClearEndpointStall(s.m_bpi), kIOReturnSuccess);
    EXPECT_FALSE(dev->halted(0x8B));
    EXPECT_EQ(Ops(),
              (std::vector<SimOp>{SimOp::GetPipeProperties, SimOp::ControlRequest, SimOp::ClearPipeStallBothEnds}));
    const DeviceRequest& r = bus_->Calls()[1].request;
    EXPECT_EQ(r.bmRequestType, 0x02);
    EXPECT_EQ(r.bRequest, 0x01);
    EXPECT_EQ(r.wValue, 0x0000);
    EXPECT_EQ(r.wIndex, 0x8B);
    EXPECT_EQ(r.wLength, 0);

    // Each step's failure is returned and ends the operation there.
    bus_->ClearCalls();
    bus_->FailNext(SimOp::ControlRequest, 1, kIOReturnNoDevice);
    EXPECT_EQ(s.ClearEndpointStall(s.m_bpo), kIOReturnNoDevice);
    EXPECT_EQ(bus_->Calls()[1].request.wIndex, 0x02);
    EXPECT_EQ(bus_->Calls().size(), 2u);
    bus_->FailNext(SimOp::GetPipeProperties, 1, kIOReturnError);
    EXPECT_EQ(s.ClearEndpointStall(s.m_bpo), kIOReturnError);
    EXPECT_EQ(s.ClearEndpointStall(0x40), kIOReturnBadArgument);
    bus_->ClearCalls();
  }
  // The destructor clears the reply pipe, then the request pipe, then closes.
  std::vector<UInt16> indices;
  for (const SimCall& c : bus_->CallsOf(SimOp::ControlRequest)) indices.push_back(c.request.wIndex);
  EXPECT_EQ(indices, (std::vector<UInt16>{0x8B, 0x02}));
  EXPECT_EQ(bus_->Calls().back().op, SimOp::InterfaceClose);
  ExpectAllReleased();
}

TEST_F(ScannerTest, AbortAndResetPipesInOrderAndLeavesAMissingImagePipeAlone) {
  bus_->AddDevice(MakeK310(kLocation));
  bus_->AddDevice(MakeK310(0x02100000, K310Layout::kNoImagePipe));
  CSimpleScanner s(kLocation);
  bus_->ClearCalls();
  s.AbortAndResetPipes();
  std::vector<std::pair<SimOp, int>> calls;
  for (const SimCall& c : bus_->Calls()) calls.push_back({c.op, c.pipe});
  EXPECT_EQ(calls, (std::vector<std::pair<SimOp, int>>{{SimOp::AbortPipe, 1},
                                                       {SimOp::ResetPipe, 1},
                                                       {SimOp::AbortPipe, 2},
                                                       {SimOp::ResetPipe, 2},
                                                       {SimOp::AbortPipe, 3},
                                                       {SimOp::ResetPipe, 3}}));

  CSimpleScanner t(0x02100000);  // takes the second device: the first interface is held
  ASSERT_TRUE(t.m_opened);
  EXPECT_EQ(t.m_ipi, 0);
  bus_->ClearCalls();
  t.AbortAndResetPipes();
  EXPECT_EQ(bus_->Calls().size(), 4u);
}

TEST_F(ScannerTest, DeviceGoneLeavesAHandleTheDestructorStillReleases) {
  auto dev = bus_->AddDevice(MakeK310(kLocation));
  {
    CSimpleScanner s(kLocation);
    dev->Unplug();
    UInt8 buf[16];
    UInt32 n = sizeof buf;
    EXPECT_EQ(s.ReadDataPipeToBuffer(buf, &n), kIOReturnNoDevice);
    s.m_opened = false;  // what the scan job does on 0xE00002C0
  }
  ExpectAllReleased();
  EXPECT_TRUE(bus_->CallsOf(SimOp::ControlRequest).empty());
}

TEST_F(ScannerTest, WithoutAnInterfaceTransfersFailInsteadOfCrashing) {
  CSimpleScanner s(kLocation);
  UInt8 buf[4];
  UInt32 n = sizeof buf;
  EXPECT_EQ(s.WritePipeWithBuffer(buf, n), kIOReturnNotOpen);
  EXPECT_EQ(s.ReadControlPipeToBuffer(buf, &n), kIOReturnNotOpen);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(s.ClearEndpointStall(1), kIOReturnNotOpen);
  s.AbortAndResetPipes();
  s.ClosePipes();
  EXPECT_TRUE(bus_->CallsOf(SimOp::AbortPipe).empty());
}

TEST_F(ScannerTest, ScanParametersRoundTripAndLog) {
  CSimpleScanner s(kLocation);
  ScanningParamBlock in{300, 150, 10, 20, 2550, 3507, 0, 1, 77, 88};
  tarvell::LogCapture log;
  EXPECT_EQ(s.SetScanningParameters(&in), 0);
  const std::vector<std::string> expected = {"SetScanningParameters()", "   mainScanRes: 300", "    subScanRes: 150",
                                             "offsetMainScan: 10",      " offsetSubScan: 20",  "   mainScanLen: 2550",
                                             "    subScanLen: 3507",    "     colorMode: 0",   "    dataFormat: 1"};
  EXPECT_EQ(log.lines(), expected);
  log.clear();
  ScanningParamBlock out;
  std::memset(&out, 0xFF, sizeof out);
  EXPECT_EQ(s.GetScanningParameters(&out), 0);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"GetScanningParameters()"});
  EXPECT_EQ(out.mainScanRes, 300u);
  EXPECT_EQ(out.subScanRes, 150u);
  EXPECT_EQ(out.offsetMainScan, 10u);
  EXPECT_EQ(out.offsetSubScan, 20u);
  EXPECT_EQ(out.mainScanLen, 2550u);
  EXPECT_EQ(out.subScanLen, 3507u);
  EXPECT_EQ(out.colorMode, 0);
  EXPECT_EQ(out.dataFormat, 1);
  // The scale fields are not taken.
  EXPECT_EQ(out.mainScanScale, 0);
  EXPECT_EQ(out.subScanScale, 0);

  EXPECT_EQ(s.InitializeScanner(), 0);
  s.GetScanningParameters(&out);
  EXPECT_EQ(out.mainScanRes, 600u);
  EXPECT_EQ(out.offsetSubScan, 0u);
  EXPECT_EQ(out.subScanLen, 7014u);
  EXPECT_EQ(out.colorMode, 1);
  EXPECT_EQ(out.dataFormat, 24);
}

TEST_F(ScannerTest, FixedAnswersAndResolutions) {
  bus_->AddDevice(MakeK310(kLocation));
  CSimpleScanner s(kLocation);
  bus_->devices()[0]->Unplug();
  EXPECT_EQ(s.GetStatus(), -9900);
  EXPECT_EQ(s.PushButtonStatus(), 0u);
  EXPECT_EQ(s.GetResolutions(), 0);
  ASSERT_TRUE(s.m_resolutions);
  EXPECT_EQ(*s.m_resolutions, (std::vector<SInt16>{75, 150, 200, 300, 400, 600}));
  EXPECT_EQ(s.GetResolutions(), 0);
  EXPECT_EQ(s.m_resolutions->size(), 6u);
}

TEST_F(ScannerTest, AddScanDataAppendsInArrivalOrder) {
  CSimpleScanner s(kLocation);
  s.AddScanData(nullptr, 0);
  ASSERT_TRUE(s.m_scanData);
  EXPECT_TRUE(s.m_scanData->empty());
  s.AddScanData("P6\n", 3);
  s.AddScanData("1 1\n", 4);
  s.AddScanData("xyz", -1);
  EXPECT_EQ(std::string(s.m_scanData->begin(), s.m_scanData->end()), "P6\n1 1\n");
}

}  // namespace
