#include "platform/usb/SimBus.h"

#include <gtest/gtest.h>

#include <string>

using namespace tarvell::usb;

namespace {

// A device with one interface of three bulk pipes (OUT 2, IN 11, IN 8) at `location`.
SimDeviceSpec ThreePipes(UInt32 location) {
  SimDeviceSpec device{0x2B7E, 0x0C5A, location, {}};
  SimInterfaceSpec iface;
  iface.settings = {{SimEndpoint{kUSBOut, 2}, SimEndpoint{kUSBIn, 11}, SimEndpoint{kUSBIn, 8}}};
  device.interfaces.push_back(iface);
  return device;
}

// Opens the device object of the first "IOUSBDevice" service.
std::unique_ptr<USBDevice> FirstDevice(Bus& bus) {
  std::unique_ptr<MasterPort> port;
  EXPECT_EQ(bus.CreateMasterPort(&port), kIOReturnSuccess);
  MatchingDictionary m;
  EXPECT_TRUE(port->CreateMatching(kDeviceClass, &m));
  ServiceList services;
  EXPECT_EQ(port->GetMatchingServices(m, &services), kIOReturnSuccess);
  if (services.empty()) return nullptr;
  std::unique_ptr<PlugIn> plugIn;
  EXPECT_EQ(services[0]->CreatePlugIn(&plugIn), kIOReturnSuccess);
  std::unique_ptr<USBDevice> device;
  EXPECT_EQ(plugIn->QueryDevice(&device), kIOReturnSuccess);
  return device;
}

std::unique_ptr<USBInterface> FirstInterface(Bus& bus) {
  std::unique_ptr<MasterPort> port;
  bus.CreateMasterPort(&port);
  MatchingDictionary m;
  port->CreateMatching(kInterfaceClass, &m);
  ServiceList services;
  port->GetMatchingServices(m, &services);
  if (services.empty()) return nullptr;
  std::unique_ptr<PlugIn> plugIn;
  services[0]->CreatePlugIn(&plugIn);
  std::unique_ptr<USBInterface> iface;
  plugIn->QueryInterface(&iface);
  return iface;
}

TEST(SimBus, SearchOffersDevicesAndInterfacesByClassInPlugOrder) {
  auto bus = SimBus::Create();
  SimDeviceSpec two = ThreePipes(0x02100000);
  two.interfaces.push_back(SimInterfaceSpec{});
  bus->AddDevice(ThreePipes(0x01100000));
  bus->AddDevice(two);
  std::unique_ptr<MasterPort> port;
  ASSERT_EQ(bus->CreateMasterPort(&port), kIOReturnSuccess);
  MatchingDictionary m;
  ServiceList services;
  ASSERT_TRUE(port->CreateMatching(kDeviceClass, &m));
  port->GetMatchingServices(m, &services);
  EXPECT_EQ(services.size(), 2u);
  ASSERT_TRUE(port->CreateMatching(kInterfaceClass, &m));
  m.locationID = 0;
  port->GetMatchingServices(m, &services);
  ASSERT_EQ(services.size(), 3u);
  EXPECT_NE(services[0]->id(), services[1]->id());
  m.locationID = 0x02100000;  // a location hint narrows the search to that device's interfaces
  port->GetMatchingServices(m, &services);
  EXPECT_EQ(services.size(), 2u);
  m.locationID = 0x7F000000;
  port->GetMatchingServices(m, &services);
  EXPECT_TRUE(services.empty());
  ASSERT_TRUE(port->CreateMatching("IOHIDDevice", &m));
  port->GetMatchingServices(m, &services);
  EXPECT_TRUE(services.empty());

  bus->devices()[0]->Unplug();
  ASSERT_TRUE(port->CreateMatching(kDeviceClass, &m));
  port->GetMatchingServices(m, &services);
  EXPECT_EQ(services.size(), 1u);
  services.clear();
  port.reset();
  EXPECT_EQ(bus->LiveObjects(), 0);
}

TEST(SimBus, DeviceIdentityAndExclusiveOpen) {
  auto bus = SimBus::Create();
  bus->AddDevice(ThreePipes(0x01410000));
  auto a = FirstDevice(*bus);
  auto b = FirstDevice(*bus);
  ASSERT_TRUE(a && b);
  UInt16 vendor = 0, product = 0;
  UInt32 location = 0;
  EXPECT_EQ(a->GetVendor(&vendor), kIOReturnSuccess);
  EXPECT_EQ(a->GetProduct(&product), kIOReturnSuccess);
  EXPECT_EQ(a->GetLocationID(&location), kIOReturnSuccess);
  EXPECT_EQ(vendor, 0x2B7E);
  EXPECT_EQ(product, 0x0C5A);
  EXPECT_EQ(location, 0x01410000u);
  EXPECT_EQ(a->Open(), kIOReturnSuccess);
  EXPECT_EQ(b->Open(), kIOReturnExclusiveAccess);
  EXPECT_EQ(bus->OpenObjects(), 1);
  a.reset();  // releasing an open device closes it
  EXPECT_EQ(bus->OpenObjects(), 0);
  EXPECT_EQ(b->Open(), kIOReturnSuccess);
  EXPECT_EQ(b->Close(), kIOReturnSuccess);
  EXPECT_EQ(b->Close(), kIOReturnNotOpen);
}

TEST(SimBus, FaultsFireOnTheNthCallAndAreRecorded) {
  auto bus = SimBus::Create();
  bus->AddDevice(ThreePipes(0x01410000));
  auto dev = FirstDevice(*bus);
  UInt16 v = 0;
  bus->ClearCalls();
  bus->FailNext(SimOp::GetVendor, 2, kIOReturnNoDevice);
  bus->FailNext(SimOp::GetProduct, 1, kIOReturnError);
  EXPECT_EQ(dev->GetVendor(&v), kIOReturnSuccess);
  EXPECT_EQ(dev->GetVendor(&v), kIOReturnNoDevice);
  bus->FailNext(SimOp::GetVendor, 2, kIOReturnError, tarvell::testing::Fails::kFromThenOn);
  EXPECT_EQ(dev->GetVendor(&v), kIOReturnSuccess);
  EXPECT_EQ(dev->GetVendor(&v), kIOReturnError);
  EXPECT_EQ(dev->GetVendor(&v), kIOReturnError);  // from then on, until disarmed
  bus->FailNext(SimOp::GetVendor, 0, kIOReturnSuccess);
  ASSERT_EQ(bus->Calls().size(), 5u);
  EXPECT_EQ(bus->Calls()[1].result, kIOReturnNoDevice);
  EXPECT_STREQ(SimOpName(bus->Calls()[1].op), "GetVendor");
  bus->ClearFaults();
  EXPECT_EQ(dev->GetProduct(&v), kIOReturnSuccess);

  // Status 0 on a plug-in step: success without an object.
  bus->FailNext(SimOp::CreatePlugIn, 1, kIOReturnSuccess);
  std::unique_ptr<MasterPort> port;
  bus->CreateMasterPort(&port);
  MatchingDictionary m;
  port->CreateMatching(kDeviceClass, &m);
  ServiceList services;
  port->GetMatchingServices(m, &services);
  std::unique_ptr<PlugIn> plugIn;
  EXPECT_EQ(services[0]->CreatePlugIn(&plugIn), kIOReturnSuccess);
  EXPECT_FALSE(plugIn);
  EXPECT_EQ(services[0]->CreatePlugIn(&plugIn), kIOReturnSuccess);
  std::unique_ptr<USBInterface> wrongKind;
  EXPECT_EQ(plugIn->QueryInterface(&wrongKind), kIOReturnUnsupported);
  EXPECT_FALSE(wrongKind);
}

// A device model that echoes each write back on endpoint 11, uppercased.
class EchoModel : public SimDeviceModel {
 public:
  IOReturn BulkWrite(UInt8 endpoint, const std::vector<UInt8>& data) override {
    lastEndpoint = endpoint;
    pending = data;
    for (UInt8& c : pending) c = UInt8(toupper(c));
    return kIOReturnSuccess;
  }
  SimReadAnswer BulkRead(UInt8 endpoint, UInt32 capacity) override {
    lastCapacity = capacity;
    if (endpoint != 11 || pending.empty()) return {kIOReturnTimeout, {}};
    SimReadAnswer a{kIOReturnSuccess, pending};
    pending.clear();
    return a;
  }
  IOReturn ClearHalt(UInt8 address) override {
    cleared.push_back(address);
    return kIOReturnSuccess;
  }
  UInt8 lastEndpoint = 0;
  UInt32 lastCapacity = 0;
  std::vector<UInt8> pending;
  std::vector<UInt8> cleared;
};

TEST(SimBus, ModelServesThePipesAndHaltsAreCleared) {
  auto bus = SimBus::Create();
  auto device = bus->AddDevice(ThreePipes(0x01410000));
  auto model = std::make_shared<EchoModel>();
  device->SetModel(model);
  auto iface = FirstInterface(*bus);
  ASSERT_TRUE(iface);
  UInt8 buf[64];
  UInt32 n = sizeof buf;
  EXPECT_EQ(iface->ReadPipe(2, buf, &n, 100, 200), kIOReturnNotOpen);
  ASSERT_EQ(iface->Open(), kIOReturnSuccess);
  PipeProperties p;
  EXPECT_EQ(iface->GetPipeProperties(4, &p), kIOReturnBadArgument);
  EXPECT_EQ(iface->WritePipe(1, "abc", 3, 100, 200), kIOReturnSuccess);
  EXPECT_EQ(model->lastEndpoint, 2);
  EXPECT_EQ(iface->WritePipe(2, "abc", 3, 100, 200), kIOReturnBadArgument);  // an IN pipe
  n = sizeof buf;
  EXPECT_EQ(iface->ReadPipe(2, buf, &n, 100, 200), kIOReturnSuccess);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), n), "ABC");
  EXPECT_EQ(model->lastCapacity, 64u);
  n = sizeof buf;
  EXPECT_EQ(iface->ReadPipe(3, buf, &n, 100, 200), kIOReturnTimeout);
  EXPECT_EQ(bus->Now(), 100u);
  EXPECT_EQ(device->written(2).size(), 3u);

  device->SetHalted(0x02, true);
  EXPECT_EQ(iface->WritePipe(1, "x", 1, 100, 200), kIOUSBPipeStalled);
  DeviceRequest clear;
  clear.bmRequestType = 0x02;
  clear.bRequest = 0x01;
  clear.wIndex = 0x02;
  EXPECT_EQ(iface->ControlRequest(&clear), kIOReturnSuccess);
  EXPECT_FALSE(device->halted(0x02));
  device->SetHalted(0x8B, true);
  EXPECT_EQ(iface->ClearPipeStallBothEnds(2), kIOReturnSuccess);
  EXPECT_FALSE(device->halted(0x8B));
  EXPECT_EQ(model->cleared, (std::vector<UInt8>{0x02, 0x8B}));

  device->Unplug();
  EXPECT_EQ(iface->WritePipe(1, "x", 1, 100, 200), kIOReturnNoDevice);
  EXPECT_EQ(iface->AbortPipe(1), kIOReturnNoDevice);
  iface.reset();
  EXPECT_EQ(bus->LiveObjects(), 0);
  EXPECT_EQ(bus->OpenObjects(), 0);
}

TEST(SimBus, QueuedAnswersAreDeliveredInOrderThenTimeOut) {
  auto bus = SimBus::Create();
  auto device = bus->AddDevice(ThreePipes(0x01410000));
  device->QueueRead(8, "first");
  device->QueueRead(8, {}, kIOReturnNoDevice);
  auto iface = FirstInterface(*bus);
  ASSERT_EQ(iface->Open(), kIOReturnSuccess);
  UInt8 buf[3];
  UInt32 n = sizeof buf;
  EXPECT_EQ(iface->ReadPipe(3, buf, &n, 15000, 60000), kIOReturnOverrun);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(bus->CallsOf(SimOp::ReadPipe).back().data, (std::vector<UInt8>{'f', 'i', 'r'}));
  n = sizeof buf;
  EXPECT_EQ(iface->ReadPipe(3, buf, &n, 15000, 60000), kIOReturnNoDevice);
  n = sizeof buf;
  EXPECT_EQ(iface->ReadPipe(3, buf, &n, 15000, 60000), kIOReturnTimeout);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(bus->Now(), 15000u);
}

TEST(SimBus, NoActiveBusOffersNothing) {
  SetActiveBus(nullptr);
  std::unique_ptr<MasterPort> port;
  EXPECT_EQ(ActiveBus()->CreateMasterPort(&port), kIOReturnNoResources);
  EXPECT_FALSE(port);
  EXPECT_EQ(StatusText(kIOReturnNoDevice), "device gone (0xe00002c0)");
}

}  // namespace
