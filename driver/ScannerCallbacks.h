// The module's side of the image-capture host interface: the callbacks the host calls through
// gICDScannerCallbackFunctions, the table of open devices and the helpers the callbacks share.
// Every callback runs on the host's one callback thread and never lets an exception out.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "platform/ica/ICAHost.h"
#include "platform/plist/PropertyList.h"
#include "usb/CSimpleScanner.h"
#include "usb/DeviceFacts.h"

// Bytes of the device thumbnail record the scanner hands out.
constexpr UInt32 kDeviceThumbnailSize = 9229;
using tarvell::device::kModelName;

// Open devices by USB location. The table owns the scanner objects.
extern std::map<UInt32, std::unique_ptr<CSimpleScanner>> gType1Map;

// Registers the callbacks in the host's table (positions 1, 12 and 13 stay the host's).
void RegisterScannerCallbacks();
// What `main` does: interval, log line, callbacks, then the host's run loop.
int DriverMain(int argc, char** argv);

// The scanner of a record the host handed in: the record's private data, when it is a scanner in
// gType1Map; null for no record, no scanner or a scanner that has since been closed.
CSimpleScanner* ScannerFromRecord(const ScannerObjectInfo* objectInfo);

// The location of the first supported scanner on the bus that is not open yet, or 0.
UInt32 FindDeviceNotOnMap();

// Device table.
ICAError _ICD_ScannerOpenDevice(UInt32 locationID, ScannerObjectInfo* objectInfo);
ICAError _ICD_ScannerCloseDevice(ScannerObjectInfo* objectInfo);
ICAError _ICD_ScannerCleanup(ScannerObjectInfo* objectInfo);

// Capabilities and scan areas.
ICAError _ICD_ScannerGetParameters(const ScannerObjectInfo* objectInfo, ICD_ScannerGetParametersPB* pb);
ICAError _ICD_ScannerSetParameters(const ScannerObjectInfo* objectInfo, ICD_ScannerSetParametersPB* pb);
// The current value of one capability record ("TWON_ONEVALUE" or "TWON_ENUMERATION"): 0, or -1
// with *result untouched when the record cannot be read.
SInt32 GetIntFromDict(const plist::ValueRef& record, SInt32* result);
SInt32 GetFloatFromDict(const plist::ValueRef& record, Float32* result);

// What a scan of the first area of `settings` (a set-parameters dictionary, in the dialect
// `systemVersion` selects) would deliver: the image size after the driver's rounding and the
// device's own resolution and glass. False when the driver would refuse the area.
bool PredictImageSize(const plist::DictionaryRef& settings, SInt32 systemVersion, UInt32* width, UInt32* height);
// The resolutions the scanner of `objectInfo` scans at, ascending; empty when it has none.
std::vector<UInt32> ScannerResolutions(const ScannerObjectInfo* objectInfo);

// Session.
ICAError _ICD_ScannerOpenSession(const ScannerObjectInfo* objectInfo, ICD_ScannerOpenSessionPB* pb);
ICAError _ICD_ScannerCloseSession(const ScannerObjectInfo* objectInfo, ICD_ScannerCloseSessionPB* pb);
ICAError _ICD_ScannerInitialize(const ScannerObjectInfo* objectInfo, ICD_ScannerInitializePB* pb);
ICAError _ICD_ScannerStatus(const ScannerObjectInfo* objectInfo, ICD_ScannerStatusPB* pb);

// Scan start, file objects, properties and messages.
ICAError _ICD_ScannerStart(const ScannerObjectInfo* objectInfo, ICD_ScannerStartPB* pb);
// For hosts that take the image as it is scanned: scans the first area as _ICD_ScannerStart
// does, but the scan job hands the image stream (the device's anymap, header included) to `sink`
// piece by piece as it arrives. No TIFF is made and no file object is announced, so a file held
// from an earlier scan stays as it was. noErr once the job ran to its end with image data;
// paramErr without a scanner, a sink or a non-empty area; kICADeviceNotFoundErr when the device
// went away; kICACommunicationErr when it sent no image.
ICAError ScanToSink(const ScannerObjectInfo* objectInfo, ScanDataSink* sink);
ICAError _ICD_ScannerGetObjectInfo(const ScannerObjectInfo* parent, UInt32 index, ScannerObjectInfo* newInfo);
ICAError _ICD_ScannerReadFileData(const ScannerObjectInfo* objectInfo, OSType dataType, void* buffer, UInt32 offset,
                                  UInt32* length);
ICAError _ICD_ScannerWriteFileData(const ScannerObjectInfo* objectInfo, OSType dataType, void* buffer, UInt32 offset,
                                   UInt32* length);
ICAError _ICD_ScannerGetPropertyData(const ScannerObjectInfo* objectInfo, ICD_ScannerGetPropertyDataPB* pb);
ICAError _ICD_ScannerSetPropertyData(const ScannerObjectInfo* objectInfo, ICD_ScannerSetPropertyDataPB* pb);
ICAError _ICD_ScannerSendMessage(const ScannerObjectInfo* objectInfo, ICD_ScannerObjectSendMessagePB* pb,
                                 ICDCompletion completion);
ICAError _ICD_ScannerAddPropertiesToCFDictionary(const ScannerObjectInfo* objectInfo, plist::Dictionary* dict);
ICAError _ICD_ScannerPeriodicTask(ScannerObjectInfo* objectInfo);
