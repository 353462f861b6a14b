// Opening and closing devices, and the search for a scanner that is not open yet.
#include <cstring>
#include <new>

#include "driver/CallbackGuard.h"
#include "driver/ScannerCallbacks.h"
#include "platform/system/Log.h"
#include "platform/usb/USB.h"

using tarvell::usb::MasterPort;
using tarvell::usb::MatchingDictionary;
using tarvell::usb::PlugIn;
using tarvell::usb::Service;
using tarvell::usb::ServiceList;
using tarvell::usb::USBDevice;

std::map<UInt32, std::unique_ptr<CSimpleScanner>> gType1Map;

CSimpleScanner* ScannerFromRecord(const ScannerObjectInfo* objectInfo) {
  if (objectInfo == nullptr || objectInfo->privateData == nullptr) return nullptr;
  // Compare pointers only: a record whose scanner was closed must not be followed.
  for (const auto& entry : gType1Map)
    if (entry.second.get() == objectInfo->privateData) return entry.second.get();
  return nullptr;
}

namespace {

// Checks one device service; returns its location when it is a supported scanner not yet open.
// Every object made here is released on the way out (the unique_ptrs), the device closed first.
UInt32 CheckDeviceService(Service& service) {
  BridgeNSLog(" > FindDeviceNotOnMap: found usbDeviceRef 0x%08x\n", unsigned(service.id()));

  std::unique_ptr<PlugIn> plugIn;
  IOReturn ret = service.CreatePlugIn(&plugIn);
  if (ret != kIOReturnSuccess || !plugIn) {
    BridgeNSLog(" > ERROR: FindDeviceNotOnMap: unable to create plugin. ret = %08x, iodev = %p\n", unsigned(ret),
                static_cast<void*>(plugIn.get()));
    return 0;
  }
  std::unique_ptr<USBDevice> dev;
  ret = plugIn->QueryDevice(&dev);
  plugIn.reset();
  if (ret != kIOReturnSuccess || !dev) {
    BridgeNSLog(
        " > ERROR: FindDeviceNotOnMap: unable to create a device interface. ret = %08x, dev = "
        "%p\n",
        unsigned(ret), static_cast<void*>(dev.get()));
    return 0;
  }
  ret = dev->Open();
  if (ret != kIOReturnSuccess) {
    BridgeNSLog(" > ERROR: FindDeviceNotOnMap: unable to open device. ret = 0x%08x\n", unsigned(ret));
    return 0;
  }

  UInt32 accepted = 0;
  UInt16 vendor = 0;
  UInt16 product = 0;
  UInt32 location = 0;
  if (dev->GetVendor(&vendor) != kIOReturnSuccess || vendor != tarvell::device::kVendorID) {
    BridgeNSLog(" > ERROR: FindDeviceNotOnMap: found non matching device, vendor: 0x%04x\n", unsigned(vendor));
  } else if (dev->GetProduct(&product) != kIOReturnSuccess || product != tarvell::device::kProductID) {
    BridgeNSLog(" > ERROR: FindDeviceNotOnMap: found non matching device: 0x%04x\n", unsigned(product));
  } else if (dev->GetLocationID(&location) != kIOReturnSuccess) {
    BridgeNSLog(" > ERROR: FindDeviceNotOnMap: unable to get location id for the device\n");
  } else {
    BridgeNSLog(" > FindDeviceNotOnMap: found device with locationID %ld\n", long(location));
    if (gType1Map.count(location)) {
      BridgeNSLog(" > ERROR: locationID already exist in map!\n");
    } else {
      BridgeNSLog(" > FindDeviceNotOnMap: found new device\n");
      accepted = location;
    }
  }
  dev->Close();
  return accepted;
}

}  // namespace

UInt32 FindDeviceNotOnMap() {
  BridgeNSLog("FindDeviceNotOnMap()");
  std::unique_ptr<MasterPort> port;
  IOReturn err = tarvell::usb::ActiveBus()->CreateMasterPort(&port);
  if (err != kIOReturnSuccess || !port) {
    BridgeNSLog(" > ERROR: FindDeviceNotOnMap: could not create master port, err = %08x\n",
                unsigned(err != kIOReturnSuccess ? err : kIOReturnError));
    return 0;
  }
  MatchingDictionary matching;
  if (!port->CreateMatching(tarvell::usb::kDeviceClass, &matching)) {
    BridgeNSLog(" > ERROR: FindDeviceNotOnMap: could not create matching dictionary\n");
    return 0;
  }
  // The bus is asked for the scanner alone, so that no other device is ever opened.
  matching.vendorID = tarvell::device::kVendorID;
  matching.productID = tarvell::device::kProductID;
  ServiceList services;
  if (port->GetMatchingServices(matching, &services) != kIOReturnSuccess) return 0;
  UInt32 found = 0;
  for (auto& service : services) {
    if (!service) continue;
    found = CheckDeviceService(*service);
    service.reset();
    if (found != 0) break;
  }
  return found;
}

ICAError _ICD_ScannerOpenDevice(UInt32 locationID, ScannerObjectInfo* objectInfo) {
  return GuardCallback([&]() -> ICAError {
    BridgeNSLog("_ICD_ScannerOpenDevice()");
    BridgeNSLog(" > locationID = 0x%lx...\n", static_cast<unsigned long>(locationID));
    if (locationID == 0) {
      UInt32 newLocationID = FindDeviceNotOnMap();
      BridgeNSLog(" > newLocationID = %lx...\n", static_cast<unsigned long>(newLocationID));
      if (newLocationID != 0) TEMP_NewUSBDevice(newLocationID);
      return fnfErr;  // the host opens the device it was told of with a call of its own
    }
    if (gType1Map.count(locationID)) {
      BridgeNSLog(" > ERROR: locationID already exist in map!\n");
      return fnfErr;
    }
    // Without a record the host could never reach the scanner again: refuse before opening.
    if (objectInfo == nullptr) return paramErr;

    std::unique_ptr<CSimpleScanner> scanner(new (std::nothrow) CSimpleScanner(locationID));
    if (!scanner || !scanner->m_opened) {
      scanner.reset();
      BridgeNSLog(" > ERROR: _ICD_ScannerOpenDevice> err = %d, reason = %d\n", int(paramErr), 1);
      return paramErr;
    }
    CSimpleScanner* raw = scanner.get();
    gType1Map.emplace(locationID, std::move(scanner));

    objectInfo->uniqueID = raw->m_locationID;
    objectInfo->thumbnailSize = kDeviceThumbnailSize;
    objectInfo->dataSize = 0;
    objectInfo->flags = 0;
    objectInfo->privateData = raw;
    // m_name need not be terminated; the record's name always is.
    size_t length = strnlen(raw->m_name, sizeof raw->m_name);
    const char* name = length ? raw->m_name : kModelName;
    if (!length) length = sizeof kModelName - 1;
    length = std::min(length, sizeof objectInfo->name - 1);
    std::memcpy(objectInfo->name, name, length);
    objectInfo->name[length] = '\0';
    objectInfo->objectType = kICADevice;
    objectInfo->objectSubtype = kICADeviceScanner;
    return noErr;
  });
}

ICAError _ICD_ScannerCloseDevice(ScannerObjectInfo* objectInfo) {
  return GuardCallback([&]() -> ICAError {
    BridgeNSLog("_ICD_ScannerCloseDevice()");
    if (objectInfo == nullptr || objectInfo->objectType != kICADevice) return paramErr;
    if (objectInfo->privateData == nullptr) return paramErr;
    // Found by pointer, so a record of an already closed scanner is never followed.
    for (auto it = gType1Map.begin(); it != gType1Map.end(); ++it) {
      if (it->second.get() == objectInfo->privateData) {
        gType1Map.erase(it);  // destroys the scanner: pipes closed, buffers freed
        break;
      }
    }
    return noErr;
  });
}

ICAError _ICD_ScannerCleanup(ScannerObjectInfo*) {
  BridgeNSLog("_ICD_ScannerCleanup()");
  return noErr;
}
