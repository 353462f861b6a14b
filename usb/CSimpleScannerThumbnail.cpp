// The scanner's thumbnail comes from the host: the device information dictionary names the
// icon file, and the host decodes it into the thumbnail record.
#include <cstring>
#include <string>

#include "platform/ica/ICAHost.h"
#include "platform/plist/PropertyList.h"
#include "platform/system/Log.h"
#include "usb/CSimpleScanner.h"

IOReturn CSimpleScanner::GetVolumeThumbnail(void* thumbnail, UInt32* size) {
  BridgeNSLog("GetVolumeThumbnail()");
  // The host's buffer must hold the whole record, or decoding would write past its end.
  if (thumbnail == nullptr) return paramErr;
  if (size != nullptr && *size < kICAThumbnailRecordSize) return paramErr;

  const std::string name(m_name, strnlen(m_name, sizeof m_name));
  plist::DictionaryRef info;
  ICAError err = ICDScannerCopyDeviceInfoDictionary(name.c_str(), &info);
  if (err != noErr) return err;
  if (!info) return paramErr;
  BridgeNSLog("%s\n", plist::Describe(info).c_str());

  auto* record = static_cast<ICAThumbnail*>(thumbnail);
  record->width = kICAThumbnailSide;
  record->height = kICAThumbnailSide;
  record->dataSize = kICAThumbnailDataSize;

  plist::StringRef iconFile = plist::AsString(info->Get("icon file"));
  if (!iconFile || iconFile->value().empty()) return paramErr;
  // A thumbnail that could not be decoded is reported, not handed out as pixels never written.
  return ICDScannerCreateICAThumbnailFromICNS(iconFile->value().c_str(), record);
}
