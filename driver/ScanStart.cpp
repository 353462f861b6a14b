// Starting a scan: the first scan area becomes the scanner's settings, the scan job runs, its
// image becomes the held TIFF, and the host is told that the old file went and a new one came.
#include <memory>

#include "driver/CallbackGuard.h"
#include "driver/FileDelivery.h"
#include "driver/ScannerCallbacks.h"
#include "imaging/ImageConversion.h"
#include "platform/system/Log.h"
#include "usb/ScanJob.h"

bool ExpectedImageDataSize(const ScanningParamBlock& area, UInt64* size) {
  const UInt64 width = area.mainScanLen;
  const UInt64 height = area.subScanLen;
  if (area.colorMode == 0 && area.dataFormat == 1) {
    *size = (width / 8) * height;
  } else if (area.colorMode == 0 && area.dataFormat == 8) {
    *size = width * height;
  } else if (area.colorMode == 1) {
    *size = width * height * 3;
  } else {
    return false;
  }
  return true;
}

ICAError NotifyFileObject(const CSimpleScanner& scanner, ICAObject object, OSType eventClass) {
  UInt32 cookie = 0;
  ICAError err = ICDScannerCreateEventDataCookie(object, &cookie);
  if (err != noErr) return err;
  ICD_ScannerNotificationPB notification;
  notification.object = object;
  notification.notificationType = kICANotificationTypeExtended;
  notification.notificationField3 = 0;
  notification.notificationField4 = 0;
  notification.eventClass = eventClass;
  notification.notificationField6 = 0;
  notification.notificationField7 = 0;
  notification.eventDataCookie = cookie;
  notification.deviceObject = scanner.m_deviceObject;
  return ICDScannerInitiateNotificationCallback(&notification);
}

namespace {

// The host status for a job that did not run to its end.
ICAError StatusOfFailedJob(IOReturn status) {
  return status == kIOReturnNoDevice ? kICADeviceNotFoundErr : kICACommunicationErr;
}

}  // namespace

ICAError ScanToSink(const ScannerObjectInfo* objectInfo, ScanDataSink* sink) {
  return GuardCallback([&]() -> ICAError {
    BridgeNSLog("ScanToSink()");
    CSimpleScanner* scanner = ScannerFromRecord(objectInfo);
    if (scanner == nullptr || sink == nullptr || scanner->m_scanAreaCount <= 0 || !scanner->m_scanAreas)
      return paramErr;
    ScanningParamBlock area = scanner->m_scanAreas[0];
    ICAError err = scanner->SetScanningParameters(&area);
    if (err != noErr) return err;
    UInt64 imageDataSize = 0;
    if (!ExpectedImageDataSize(area, &imageDataSize) || imageDataSize == 0) return paramErr;
    bool gotData = false;
    const IOReturn status = scanner->MyScanToSink(sink, &gotData);
    if (status != kIOReturnSuccess) {
      BridgeNSLog(" > ERROR: scan job failed, status 0x%08x\n", unsigned(status));
      return StatusOfFailedJob(status);
    }
    if (!gotData) {
      BridgeNSLog(" > ERROR: the scanner sent no image\n");
      return kICACommunicationErr;
    }
    return noErr;
  });
}

ICAError _ICD_ScannerStart(const ScannerObjectInfo* objectInfo, ICD_ScannerStartPB*) {
  return GuardCallback([&]() -> ICAError {
    BridgeNSLog("_ICD_ScannerStart()");
    CSimpleScanner* scanner = ScannerFromRecord(objectInfo);
    if (scanner == nullptr || scanner->m_scanAreaCount <= 0 || !scanner->m_scanAreas) return paramErr;

    ScanningParamBlock area = scanner->m_scanAreas[0];
    ICAError err = scanner->SetScanningParameters(&area);
    if (err != noErr) return err;

    UInt64 imageDataSize = 0;
    if (!ExpectedImageDataSize(area, &imageDataSize)) return paramErr;
    BridgeNSLog(" > imageDataSize = %lu\n", static_cast<unsigned long>(imageDataSize));
    if (imageDataSize == 0) return noErr;

    std::unique_ptr<ScanData> image;
    IOReturn status = scanner->MyScanToBuffer(&image);
    if (status != kIOReturnSuccess) {
      BridgeNSLog(" > ERROR: scan job failed, status 0x%08x\n", unsigned(status));
      return StatusOfFailedJob(status);
    }
    BridgeNSLog(" > after scanning, imageDataSize = %lu\n", static_cast<unsigned long>(imageDataSize));
    // A job that got no image data has nothing to offer; announcing a file here would hand the
    // host an object it cannot describe.
    if (!image) {
      BridgeNSLog(" > ERROR: the scanner sent no image\n");
      return kICACommunicationErr;
    }

    // On failure the conversion leaves the held TIFF alone: the file from the earlier scan stays
    // as it was and nothing new is announced. The TIFF says the resolution the device scanned
    // at (which is not the one asked for in colour above 300 dpi), so that the page keeps its
    // size wherever it is printed or shown; and the size is the one the device sent.
    const UInt32 delivered = UInt32(tarvell::DeviceWindowFor(scanner->m_params).resolution);
    if (ConvertPPMToTIFF(image.get(), &scanner->m_tiffData, &scanner->m_tiffSize, delivered, delivered,
                         &scanner->m_imageWidth, &scanner->m_imageHeight) != 0) {
      BridgeNSLog(" > ERROR: the scanned image could not be converted\n");
      return kICAFileCorruptedErr;
    }
    image.reset();

    if (scanner->m_fileObject != 0) {
      err = NotifyFileObject(*scanner, scanner->m_fileObject, kICAMessageDelete);
      if (err != noErr) return err;
      scanner->m_fileObject = 0;
    }

    ICAObject newObject = 0;
    err = ICDScannerNewObjectInfoCreated(objectInfo, 0, &newObject);
    if (err != noErr) return err;
    // The host knows the object from here on, so a later delete message must reach it even if
    // the announcement below fails.
    scanner->m_fileObject = newObject;
    return NotifyFileObject(*scanner, newObject, kICAEventObjectAdded);
  });
}
