// The host's steps with one device, in the order a real image-capture host takes them, each a
// call of the module's callback through gICDScannerCallbackFunctions. The command-line host
// (and any other host, such as a scanner-access backend) is built from these.
//
// Each step returns the callback's status, or unimpErr (-4) when the module has no callback in
// that position.
#pragma once

#include <vector>

#include "platform/ica/ICAHost.h"

namespace tarvell {
namespace ica {

// Opens devices the host's way: the open-device callback with location 0 (the module searches
// the bus and asks back through TEMP_NewUSBDevice), then the open-device callback with each
// location asked for, on a record of its own. With `all` this repeats until no new device is
// found; otherwise it stops after the first device that opens. Opened device records are
// appended to *opened. Returns 0 when at least one device opened; else the status of the last
// failed open, or fnfErr (-43) when the module asked for none.
ICAError OpenFoundDevices(bool all, std::vector<ScannerObjectInfo*>* opened);
// Opens the device at `locationID` on a new record.
ICAError OpenDeviceAt(UInt32 locationID, ScannerObjectInfo** device);
// Session and settings.
ICAError OpenSession(ScannerObjectInfo* device);
ICAError CloseSession(ScannerObjectInfo* device);
// A new dictionary with the module's capabilities added (under "device").
ICAError GetParameters(ScannerObjectInfo* device, plist::DictionaryRef* dict);
// Hands `dict` (with "userScanArea") to the module.
ICAError SetParameters(ScannerObjectInfo* device, const plist::DictionaryRef& dict);
// Starts a scan of the first area set.
ICAError Start(ScannerObjectInfo* device);
// The newest file object the module announced (ICDScannerNewObjectInfoCreated) and described,
// or null.
ScannerObjectInfo* NewestFileObject();
// Reads *length bytes of `object`'s data of `dataType` (kICAFile, kICAThumbnailData) at `offset`.
ICAError ReadFileData(ScannerObjectInfo* object, OSType dataType, void* buffer, UInt32 offset,
                      UInt32* length);
// Sends the delete message for a file object.
ICAError DeleteFile(ScannerObjectInfo* file);
// The clean-up callback, then the close-device callback; the host forgets the record after.
ICAError CloseDevice(ScannerObjectInfo* device);

}  // namespace ica
}  // namespace tarvell
