// The scanned file as the host sees it: its description, its bytes by offset and count, the
// device thumbnail, the delete message, properties, and the poll of the scanner's button.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "driver/CallbackGuard.h"
#include "driver/FileDelivery.h"
#include "driver/ScannerCallbacks.h"
#include "platform/system/Log.h"
#include "platform/system/SystemInfo.h"

ICAError _ICD_ScannerGetObjectInfo(const ScannerObjectInfo* parent, UInt32 index, ScannerObjectInfo* newInfo) {
  return GuardCallback([&]() -> ICAError {
    BridgeNSLog("_ICD_ScannerGetObjectInfo()");
    if (parent == nullptr || parent->objectType != kICADevice || newInfo == nullptr) return paramErr;
    CSimpleScanner* scanner = ScannerFromRecord(parent);
    if (scanner == nullptr) return paramErr;
    scanner->m_deviceObject = parent->icaObject;
    if (!scanner->m_tiffData) {
      BridgeNSLog(" > kICAIndexOutOfRangeErr - bailing...\n");
      return kICAIndexOutOfRangeErr;
    }
    if (index != 0) {
      BridgeNSLog(" > kICAIndexOutOfRangeErr\n");
      return kICAIndexOutOfRangeErr;
    }
    newInfo->objectType = kICAFile;
    newInfo->objectSubtype = kICAFileImage;
    newInfo->uniqueID = index;
    newInfo->thumbnailSize = 0;
    newInfo->dataSize = scanner->m_tiffSize;
    newInfo->dataWidth = scanner->m_imageWidth;
    newInfo->dataHeight = scanner->m_imageHeight;
    const std::tm now = CurrentLocalTime();
    // Room for any clock value; a real date takes 24 characters, well inside the record's name.
    char name[96];
    std::snprintf(name, sizeof name, "scan%04d%02d%02d_%02d%02d%02d.tiff", now.tm_year + 1900, now.tm_mon + 1,
                  now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec);
    const size_t nameLength = std::min(std::strlen(name), sizeof newInfo->name - 1);
    std::memcpy(newInfo->name, name, nameLength);
    newInfo->name[nameLength] = '\0';
    newInfo->flags = 0;
    newInfo->privateData = scanner;
    BridgeNSLog(" > noErr\n");
    return noErr;
  });
}

ICAError _ICD_ScannerReadFileData(const ScannerObjectInfo* objectInfo, OSType dataType, void* buffer, UInt32 offset,
                                  UInt32* length) {
  ICAError err = GuardCallback([&]() -> ICAError {
    BridgeNSLog("_ICD_ScannerReadFileData()");
    CSimpleScanner* scanner = ScannerFromRecord(objectInfo);
    if (scanner == nullptr) return paramErr;
    if (dataType == kICAFile) {
      if (length == nullptr || !scanner->m_tiffData) return paramErr;
      const UInt32 size = scanner->m_tiffSize;
      const UInt32 count = *length;
      // Written so that no sum can wrap past the end of the block.
      if (offset > size || count > size - offset) return paramErr;
      if (count == 0) return noErr;
      if (buffer == nullptr) return paramErr;
      std::memcpy(buffer, scanner->m_tiffData.get() + offset, count);
      return noErr;
    }
    if (dataType == kICAThumbnailData) {
      if (objectInfo->objectSubtype != kICADeviceScanner) return paramErr;
      return static_cast<ICAError>(scanner->GetVolumeThumbnail(buffer, length));
    }
    if (length != nullptr) *length = 0;
    return paramErr;
  });
  if (err != noErr) BridgeNSLog("  ERROR: _ICD_ScannerReadFileData returns err = %d\n", int(err));
  return err;
}

ICAError _ICD_ScannerWriteFileData(const ScannerObjectInfo*, OSType, void*, UInt32, UInt32*) {
  BridgeNSLog("_ICD_ScannerWriteFileData()");
  return paramErr;
}

ICAError _ICD_ScannerGetPropertyData(const ScannerObjectInfo* objectInfo, ICD_ScannerGetPropertyDataPB* pb) {
  return GuardCallback([&]() -> ICAError {
    BridgeNSLog("_ICD_ScannerGetPropertyData()");
    if (ScannerFromRecord(objectInfo) == nullptr) return paramErr;
    return ICDScannerGetStandardPropertyData(objectInfo, pb);
  });
}

ICAError _ICD_ScannerSetPropertyData(const ScannerObjectInfo*, ICD_ScannerSetPropertyDataPB*) {
  BridgeNSLog("_ICD_ScannerSetPropertyData()");
  return paramErr;
}

ICAError _ICD_ScannerSendMessage(const ScannerObjectInfo* objectInfo, ICD_ScannerObjectSendMessagePB* pb,
                                 ICDCompletion completion) {
  return GuardCallback([&]() -> ICAError {
    BridgeNSLog("_ICD_ScannerSendMessage()");
    if (objectInfo == nullptr || pb == nullptr) return paramErr;
    CSimpleScanner* scanner = ScannerFromRecord(objectInfo);
    if (scanner == nullptr) {
      BridgeNSLog(" > ERROR: handler is nil\n");
      return paramErr;
    }
    ICAError err = noErr;
    switch (pb->message.messageType) {
      case kICAMessageConnect: break;
      case kICAMessageDelete:
        if (objectInfo->objectType != kICAFile) {
          err = paramErr;
        } else if (scanner->m_fileObject != 0) {
          scanner->m_tiffData.reset();
          scanner->m_tiffSize = 0;
          err = NotifyFileObject(*scanner, scanner->m_fileObject, kICAMessageDelete);
          if (err == noErr) scanner->m_fileObject = 0;
        }
        break;
      default:
        err = paramErr;
        pb->result = static_cast<UInt32>(static_cast<SInt32>(err));
        break;
    }
    pb->header.err = err;
    if (err != noErr)
      BridgeNSLog("  ERROR: _ICD_ScannerSendMessage err: %d\n", int(err));
    else if (completion != nullptr)
      completion(&pb->header);
    return err;
  });
}

ICAError _ICD_ScannerAddPropertiesToCFDictionary(const ScannerObjectInfo* objectInfo, plist::Dictionary* dict) {
  GuardCallback([&]() -> ICAError {
    BridgeNSLog("_ICD_ScannerAddPropertiesToCFDictionary()");
    if (objectInfo == nullptr || dict == nullptr || objectInfo->objectType != kICADevice) return noErr;
    if (dict->Has("capa")) return noErr;
    // The host learns that the device accepts delete messages.
    plist::ArrayRef capabilities = plist::MakeArray();
    plist::NumberRef del1 = plist::MakeInteger(static_cast<int32_t>(kICAMessageDelete));
    if (!capabilities || !del1) return noErr;
    capabilities->Append(del1);
    dict->Set("capa", capabilities);
    return noErr;
  });
  return noErr;
}

ICAError _ICD_ScannerPeriodicTask(ScannerObjectInfo* objectInfo) {
  return GuardCallback([&]() -> ICAError {
    CSimpleScanner* scanner = ScannerFromRecord(objectInfo);
    if (scanner == nullptr) return paramErr;
    const UInt32 buttonStatus = scanner->PushButtonStatus();
    if (buttonStatus == 0) return noErr;
    BridgeNSLog(" > _ICD_ScannerPeriodicTask> buttonStatus = %d\n", int(buttonStatus));
    return USBDeviceSendScanEventNotification(scanner->m_locationID);
  });
}
