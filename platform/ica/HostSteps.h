// The host session: the host's steps with one device, in the order a real image-capture host
// takes them, each a call of the module's callback through gICDScannerCallbackFunctions. Every
// host (the command line, the scanner-access backend, the whole-scan benchmark) is built from
// these.
//
// Each step returns the callback's status, or unimpErr (-4) when the module has no callback in
// that position.
#pragma once

#include <functional>
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
// Starts a scan of the first area set. *file (when given) gets the file object the module
// announced and described during the start, or null; it is set whatever the status, so that a
// host can delete a file even from a failed scan.
ICAError Start(ScannerObjectInfo* device, ScannerObjectInfo** file = nullptr);
// Reads *length bytes of `object`'s data of `dataType` (kICAFile, kICAThumbnailData) at `offset`.
ICAError ReadFileData(ScannerObjectInfo* object, OSType dataType, void* buffer, UInt32 offset, UInt32* length);
// Takes the bytes of one piece; false stops the reading.
using FileSink = std::function<bool(const UInt8* bytes, UInt32 count)>;
// The status of a reading that the sink stopped (an I/O error).
constexpr ICAError kFileSinkFailed = -36;
// Reads all of `file`'s data through the read callback, at most `piece` bytes a call, handing
// each piece to `sink`. 0, the read callback's status, or kFileSinkFailed.
ICAError ReadWholeFile(const ScannerObjectInfo* file, const FileSink& sink, UInt32 piece = 1u << 20);
// Sends the delete message for a file object; the host forgets its record whatever the module
// answers.
ICAError DeleteFile(ScannerObjectInfo* file);
// The clean-up callback, then the close-device callback; the host forgets the record after.
ICAError CloseDevice(ScannerObjectInfo* device);

}  // namespace ica
}  // namespace tarvell
