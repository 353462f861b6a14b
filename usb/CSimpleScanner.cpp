#include "usb/CSimpleScanner.h"

#include <cstring>
#include <new>

#include "platform/system/Log.h"
#include "usb/DeviceFacts.h"

using tarvell::usb::ActiveBus;
using tarvell::usb::MasterPort;
using tarvell::usb::MatchingDictionary;
using tarvell::usb::PipeProperties;
using tarvell::usb::PlugIn;
using tarvell::usb::Service;
using tarvell::usb::ServiceList;
using tarvell::usb::USBInterface;

namespace {

tarvell::testing::FaultPoint gBufferFault;

// A transfer buffer, or null when the system (or a test) refuses the memory.
std::unique_ptr<UInt8[]> AllocateBuffer(size_t size) {
  if (gBufferFault.Fire()) return nullptr;
  return std::unique_ptr<UInt8[]>(new (std::nothrow) UInt8[size]());
}

using tarvell::device::kImageEndpoint;
using tarvell::device::kReplyEndpoint;
using tarvell::device::kRequestEndpoint;
constexpr UInt8 kPipesOfAltSetting1 = 13;

}  // namespace

CSimpleScanner::CSimpleScanner(UInt32 locationID)
    : m_bpo(0),
      m_bpi(0),
      m_ipi(0),
      m_numEndpoints(0),
      m_bulkMaxPacketSize(0),
      m_ipiMaxPacketSize(0),
      m_vendorID(tarvell::device::kVendorID),
      m_productID(tarvell::device::kProductID),
      m_name(),
      m_locationID(locationID),
      m_maxMainScanLen(tarvell::device::kGlassWidth),
      m_maxSubScanLen(tarvell::device::kGlassHeight),
      m_scanAreaCount(0),
      m_params{tarvell::device::kNativeResolution,
               tarvell::device::kNativeResolution,
               0,
               0,
               tarvell::device::kGlassWidth,
               tarvell::device::kGlassHeight,
               1,
               8,
               0,
               0},
      m_deviceObject(0),
      m_fileObject(0),
      m_tiffSize(0),
      m_imageWidth(0),
      m_imageHeight(0),
      m_resolutionX(tarvell::device::kNativeResolution),
      m_resolutionY(tarvell::device::kNativeResolution),
      m_opened(false) {
  BridgeNSLog("CSimpleScanner()");
  std::strncpy(m_name, "Tarvell K310 (USB)", sizeof m_name - 1);

  if (OpenMyDevice() == 0) {
    m_smSendBuf = AllocateBuffer(kSmallBufferSize);
    if (!m_smSendBuf) {
      BridgeNSLog(" > ERROR: Can't malloc m_smSendBuf\n");
    } else {
      m_smRecBuf = AllocateBuffer(kSmallBufferSize);
      if (!m_smRecBuf) {
        BridgeNSLog(" > ERROR: Can't malloc m_smRecBuf\n");
      } else {
        m_bgRecBuf = AllocateBuffer(kBigBufferSize);
        if (!m_bgRecBuf) BridgeNSLog(" > ERROR: Can't malloc m_bgRecBuf\n");
      }
    }
  }
  m_opened = m_inf && m_smSendBuf && m_smRecBuf && m_bgRecBuf;
  if (m_opened) {
    BridgeNSLog(" > CSimpleScanner found and left opened.\n");
  } else {
    // A half-opened device is not kept: whoever holds the interface would lock others out.
    if (m_inf) ClosePipes();
    BridgeNSLog(" > CSimpleScanner had problems finding and opening.\n");
  }
}

CSimpleScanner::~CSimpleScanner() {
  BridgeNSLog("~CSimpleScanner()");
  if (m_opened) ClosePipes();
  // A device that went away mid-scan leaves its handle behind; release it without touching
  // the (gone) pipes.
  if (m_inf) {
    m_inf->Close();
    m_inf.reset();
  }
}

int CSimpleScanner::OpenMyDevice() {
  BridgeNSLog("OpenMyDevice()");
  std::unique_ptr<MasterPort> port;
  IOReturn err = ActiveBus()->CreateMasterPort(&port);
  if (err != kIOReturnSuccess || !port) {
    BridgeNSLog(" > ERROR: OpenMyDevice: could not create master port, err = %08x\n", unsigned(err));
    m_opened = false;
    return -1;
  }
  MatchingDictionary matching;
  if (!port->CreateMatching(tarvell::usb::kInterfaceClass, &matching)) {
    BridgeNSLog(" > ERROR: OpenMyDevice: could not create matching dictionary\n");
    m_opened = false;
    return -1;
  }
  // The scanner's own interface, the one that carries its request pipe, at its place: never
  // another device's.
  matching.locationID = m_locationID;
  matching.vendorID = tarvell::device::kVendorID;
  matching.productID = tarvell::device::kProductID;
  matching.bulkOutEndpoint = tarvell::device::kRequestEndpoint;
  ServiceList services;
  port->GetMatchingServices(matching, &services);
  for (auto& service : services) {
    if (m_inf) break;
    DealWithInterface(*service);
    service.reset();
  }
  services.clear();
  port.reset();

  if (!m_inf) {
    m_opened = false;
    return -1;
  }
  m_opened = true;
  return 0;
}

void CSimpleScanner::DealWithInterface(Service& service) {
  BridgeNSLog("DealWithInterface()");
  std::unique_ptr<PlugIn> plugIn;
  IOReturn ret = service.CreatePlugIn(&plugIn);
  if (ret != kIOReturnSuccess || !plugIn) {
    BridgeNSLog(" > ERROR: dealWithInterface: unable to create plugin. ret = %08x, iodev = %p\n", unsigned(ret),
                static_cast<void*>(plugIn.get()));
    return;
  }
  ret = plugIn->QueryInterface(&m_inf);
  plugIn.reset();
  if (ret != kIOReturnSuccess || !m_inf) {
    BridgeNSLog(" > ERROR: dealWithInterface: unable to create a device interface. ret = %08x, m_inf = %p\n",
                unsigned(ret), static_cast<void*>(m_inf.get()));
    m_inf.reset();
    return;
  }
  ret = m_inf->Open();
  if (ret != kIOReturnSuccess) {
    BridgeNSLog(" > ERROR: dealWithInterface: unable to open interface. ret = %08x\n", unsigned(ret));
    m_inf.reset();
    return;
  }

  auto giveUp = [this](const char* message, IOReturn status) {
    BridgeNSLog(message, unsigned(status));
    m_inf->Close();
    m_inf.reset();
  };
  ret = m_inf->GetNumEndpoints(&m_numEndpoints);
  if (ret != kIOReturnSuccess) {
    giveUp(" > ERROR: dealWithInterface: unable to get number of endpoints. ret = %08x\n", ret);
    return;
  }
  BridgeNSLog(" > dealWithInterface: found %d pipes\n", int(m_numEndpoints));
  if (m_numEndpoints == 0) {
    ret = m_inf->SetAlternateInterface(1);
    if (ret != kIOReturnSuccess) {
      giveUp(" > ERROR: dealWithInterface: unable to set alternate interface 1. ret = %08x\n", ret);
      return;
    }
    ret = m_inf->GetNumEndpoints(&m_numEndpoints);
    if (ret != kIOReturnSuccess) {
      giveUp(" > ERROR: dealWithInterface: unable to get number of endpoints - alt setting 1. ret = %08x\n", ret);
      return;
    }
    // The scanner's alternate setting is known to carry 13 pipes, whatever it reports.
    m_numEndpoints = kPipesOfAltSetting1;
  }
  DealWithPipes();
}

void CSimpleScanner::DealWithPipes() {
  BridgeNSLog("DealWithPipes()");
  BridgeNSLog(" > m_bpi: %d,\tm_bpo: %d,\tm_ipi: %d", int(m_bpi), int(m_bpo), int(m_ipi));
  for (int i = 1; i <= m_numEndpoints && m_inf; ++i) {
    PipeProperties p;
    IOReturn err = m_inf->GetPipeProperties(UInt8(i), &p);
    BridgeNSLog(
        " > m_inf: %d,\ti: %d,\tdirection: %d,\tnumber: %d,\ttransferType: %d,\tmaxPacketSize: %d,\tinterval: %d",
        m_inf ? 1 : 0, i, int(p.direction), int(p.number), int(p.transferType), int(p.maxPacketSize), int(p.interval));
    if (err != kIOReturnSuccess) {
      BridgeNSLog(" > ERROR: dealWithPipes: unable to get pipe properties for pipe %d, err = %08x\n", i, unsigned(err));
      m_inf->Close();
      m_inf.reset();
      return;
    }
    const bool bulk = p.transferType == tarvell::usb::kUSBBulk;
    const bool in = p.direction == tarvell::usb::kUSBIn;
    const bool out = p.direction == tarvell::usb::kUSBOut;
    if (bulk && in && p.number == kReplyEndpoint) {
      BridgeNSLog(" > dealWithPipes: grabbing BULK IN pipe index %d, number %d\n", i, int(p.number));
      m_bpi = UInt8(i);
      m_bulkMaxPacketSize = p.maxPacketSize;
    } else if (bulk && out && p.number == kRequestEndpoint) {
      BridgeNSLog(" > dealWithPipes: grabbing BULK OUT pipe index %d, number %d\n", i, int(p.number));
      m_bpo = UInt8(i);
      m_bulkMaxPacketSize = p.maxPacketSize;
    } else if (bulk && in && p.number == kImageEndpoint) {
      BridgeNSLog(" > dealWithPipes: grabbing BULK IN pipe index %d, number %d\n", i, int(p.number));
      m_ipi = UInt8(i);
      m_ipiMaxPacketSize = p.maxPacketSize;
    } else {
      BridgeNSLog(" > dealWithPipes: skipping pipe %d because it is not a bulk or an interrupt pipe\n", i);
    }
  }
}

IOReturn CSimpleScanner::WritePipeWithBuffer(const void* buffer, UInt32 size) {
  BridgeNSLog("WritePipeWithBuffer()");
  if (!m_inf) return kIOReturnNotOpen;
  return m_inf->WritePipe(m_bpo, buffer, size, kNoDataTimeoutMs, kCompletionTimeoutMs);
}

IOReturn CSimpleScanner::ReadControlPipeToBuffer(void* buffer, UInt32* size) {
  BridgeNSLog("ReadControlPipeToBuffer()");
  if (!m_inf) {
    *size = 0;
    return kIOReturnNotOpen;
  }
  return m_inf->ReadPipe(m_bpi, buffer, size, kNoDataTimeoutMs, kCompletionTimeoutMs);
}

IOReturn CSimpleScanner::ReadDataPipeToBuffer(void* buffer, UInt32* size) {
  BridgeNSLog("ReadDataPipeToBuffer()");
  if (!m_inf) {
    *size = 0;
    return kIOReturnNotOpen;
  }
  return m_inf->ReadPipe(m_ipi, buffer, size, kNoDataTimeoutMs, kCompletionTimeoutMs);
}

IOReturn CSimpleScanner::ClearEndpointStall(UInt8 pipeRef) {
  BridgeNSLog("ClearEndpointStall()");
  if (!m_inf) return kIOReturnNotOpen;
  PipeProperties p;
  IOReturn err = m_inf->GetPipeProperties(pipeRef, &p);
  if (err != kIOReturnSuccess) return err;

  tarvell::usb::DeviceRequest request;
  request.bmRequestType = 0x02;  // host to device, standard, endpoint
  request.bRequest = 0x01;       // CLEAR_FEATURE
  request.wValue = 0x0000;       // ENDPOINT_HALT
  request.wIndex = UInt16(p.number | (p.direction == tarvell::usb::kUSBIn ? 0x80 : 0x00));
  request.wLength = 0;
  request.pData = nullptr;
  err = m_inf->ControlRequest(&request);
  if (err != kIOReturnSuccess) return err;
  return m_inf->ClearPipeStallBothEnds(pipeRef);
}

void CSimpleScanner::ClearEndpoints() {
  BridgeNSLog("ClearEndpoints()");
  if (!m_inf) return;
  ClearEndpointStall(m_bpi);
  ClearEndpointStall(m_bpo);
}

void CSimpleScanner::ClosePipes() {
  BridgeNSLog("ClosePipes()");
  if (!m_inf) return;
  ClearEndpoints();
  m_inf->Close();
  m_inf.reset();
}

void CSimpleScanner::AbortAndResetPipes() {
  BridgeNSLog("AbortAndResetPipes()");
  if (!m_inf) return;
  m_inf->AbortPipe(m_bpo);
  m_inf->ResetPipe(m_bpo);
  m_inf->AbortPipe(m_bpi);
  m_inf->ResetPipe(m_bpi);
  if (m_ipi != 0) {
    m_inf->AbortPipe(m_ipi);
    m_inf->ResetPipe(m_ipi);
  }
}

OSErr CSimpleScanner::InitializeScanner() {
  BridgeNSLog("InitializeScanner()");
  m_params.mainScanRes = tarvell::device::kNativeResolution;
  m_params.subScanRes = tarvell::device::kNativeResolution;
  m_params.offsetMainScan = 0;
  m_params.offsetSubScan = 0;
  m_params.mainScanLen = tarvell::device::kGlassWidth;
  m_params.subScanLen = tarvell::device::kGlassHeight;
  m_params.colorMode = 1;
  m_params.dataFormat = 24;
  return noErr;
}

SInt32 CSimpleScanner::GetResolutions() {
  BridgeNSLog("GetResolutions()");
  m_resolutions.reset(
      new std::vector<SInt16>(tarvell::device::kResolutions.begin(), tarvell::device::kResolutions.end()));
  return 0;
}

OSErr CSimpleScanner::GetStatus() {
  BridgeNSLog("GetStatus()");
  return -9900;
}

UInt32 CSimpleScanner::PushButtonStatus() { return 0; }

OSErr CSimpleScanner::GetScanningParameters(ScanningParamBlock* params) {
  if (params) *params = m_params;
  BridgeNSLog("GetScanningParameters()");
  return noErr;
}

OSErr CSimpleScanner::SetScanningParameters(const ScanningParamBlock* params) {
  BridgeNSLog("SetScanningParameters()");
  if (!params) return noErr;
  m_params.mainScanRes = params->mainScanRes;
  m_params.subScanRes = params->subScanRes;
  m_params.offsetMainScan = params->offsetMainScan;
  m_params.offsetSubScan = params->offsetSubScan;
  m_params.mainScanLen = params->mainScanLen;
  m_params.subScanLen = params->subScanLen;
  m_params.colorMode = params->colorMode;
  m_params.dataFormat = params->dataFormat;
  BridgeNSLog("   mainScanRes: %d", int(m_params.mainScanRes));
  BridgeNSLog("    subScanRes: %d", int(m_params.subScanRes));
  BridgeNSLog("offsetMainScan: %d", int(m_params.offsetMainScan));
  BridgeNSLog(" offsetSubScan: %d", int(m_params.offsetSubScan));
  BridgeNSLog("   mainScanLen: %d", int(m_params.mainScanLen));
  BridgeNSLog("    subScanLen: %d", int(m_params.subScanLen));
  BridgeNSLog("     colorMode: %d", int(m_params.colorMode));
  BridgeNSLog("    dataFormat: %d", int(m_params.dataFormat));
  return noErr;
}

void CSimpleScanner::AddScanData(const void* bytes, SInt32 count) {
  if (!m_scanData) m_scanData.reset(new ScanData());
  if (count <= 0 || !bytes) return;
  const UInt8* p = static_cast<const UInt8*>(bytes);
  m_scanData->insert(m_scanData->end(), p, p + count);
}

void tarvell::testing::FailNext(ScannerCall, int n, Fails how) { gBufferFault.Arm(n, how); }
