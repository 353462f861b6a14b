// The image-capture host as the scanner module sees it: the records it hands to the module, the
// module's callback table, the periodic-task interval and the host calls the module may make.
//
// The host here is this project's own: the command line (cli/) and the scanner-access backend
// (sane/) drive the module through the session steps of platform/ica/HostSteps.h. What tests
// may watch and break is in platform/ica/ICAHostTesting.h.
//
// Everything runs on one thread: the host calls the module's callbacks one at a time, and the
// module calls back into the host from inside them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/plist/PropertyList.h"
#include "platform/system/Types.h"

typedef OSErr ICAError;
// The host's reference to one object it knows (a device or a file). 0 is no object.
typedef UInt32 ICAObject;

// The host's run loop: parses the command line, runs the command and returns the exit status
// (the command-line program, cli/).
int ICD_ScannerMain(int argc, char** argv);

constexpr ICAError unimpErr = -4;  // the module offers no such callback
constexpr ICAError kICAIndexOutOfRangeErr = -9907;
// Statuses of a scan that delivers no file: the device did not send an image, the device went
// away during the scan, the image it sent could not be turned into a file.
constexpr ICAError kICACommunicationErr = -9900;
constexpr ICAError kICADeviceNotFoundErr = -9901;
constexpr ICAError kICAFileCorruptedErr = -9903;

// Four-character codes of object types, subtypes, data types, messages and events.
constexpr OSType kICADevice = FourCC("icdv");
constexpr OSType kICADeviceScanner = FourCC("scan");
constexpr OSType kICAFile = FourCC("file");
constexpr OSType kICAFileImage = FourCC("imag");
constexpr OSType kICAThumbnailData = FourCC("thum");
constexpr OSType kICAMessageDelete = FourCC("del1");
constexpr OSType kICAMessageConnect = FourCC("ccni");
constexpr OSType kICANotificationTypeExtended = FourCC("extd");
constexpr OSType kICAEventObjectAdded = FourCC("eoba");
constexpr OSType kICACapabilities = FourCC("capa");

// Header of every parameter block: the status the module leaves and a word for the caller.
struct ICDHeader {
  ICAError err = noErr;
  UInt32 refcon = 0;
};

// The host's record of one object. The module fills it for the objects it describes and keeps
// its own pointer in privateData.
struct ScannerObjectInfo {
  ICAObject icaObject = 0;   // the host's reference (set by the host)
  OSType objectType = 0;     // kICADevice or kICAFile
  OSType objectSubtype = 0;  // kICADeviceScanner or kICAFileImage
  UInt32 uniqueID = 0;
  UInt32 thumbnailSize = 0;
  UInt32 dataSize = 0;
  UInt32 dataWidth = 0;
  UInt32 dataHeight = 0;
  char name[32] = {};  // NUL-terminated
  UInt32 flags = 0;
  void* privateData = nullptr;  // the module's, not the host's
};

// A thumbnail as the host exchanges it: width, height, byte count, then RGBA bytes, 4 a pixel.
struct ICAThumbnail {
  UInt32 width;
  UInt32 height;
  UInt32 dataSize;
  UInt8 data[1];
};
constexpr UInt32 kICAThumbnailSide = 48;
constexpr UInt32 kICAThumbnailDataSize = kICAThumbnailSide * kICAThumbnailSide * 4;  // 9216
// Bytes a buffer needs to hold a whole 48 x 48 thumbnail record.
constexpr UInt32 kICAThumbnailRecordSize = offsetof(ICAThumbnail, data) + kICAThumbnailDataSize;

// Parameter blocks of the callbacks. The module reads and writes only the fields named in each.
struct ICD_ScannerOpenSessionPB {
  ICDHeader header;
  ICAObject object = 0;
  UInt32 sessionID = 0;
};
typedef ICD_ScannerOpenSessionPB ICD_ScannerCloseSessionPB;
typedef ICD_ScannerOpenSessionPB ICD_ScannerInitializePB;
typedef ICD_ScannerOpenSessionPB ICD_ScannerStatusPB;
typedef ICD_ScannerOpenSessionPB ICD_ScannerStartPB;

// Capability and scan-setting exchange: one mutable dictionary.
struct ICD_ScannerGetParametersPB {
  ICDHeader header;
  ICAObject object = 0;
  UInt32 sessionID = 0;
  plist::DictionaryRef theDict;
};
typedef ICD_ScannerGetParametersPB ICD_ScannerSetParametersPB;

struct ICD_ScannerGetPropertyDataPB {
  ICDHeader header;
  ICAObject object = 0;
  OSType propertyType = 0;
  void* dataPtr = nullptr;
  UInt32 dataSize = 0;
  UInt32 actualSize = 0;
};
typedef ICD_ScannerGetPropertyDataPB ICD_ScannerSetPropertyDataPB;

struct ICAMessage {
  OSType messageType = 0;  // kICAMessageConnect, kICAMessageDelete, ...
  UInt32 startByte = 0;
  void* dataPtr = nullptr;
  UInt32 dataSize = 0;
  OSType dataType = 0;
};

struct ICD_ScannerObjectSendMessagePB {
  ICDHeader header;
  ICAObject object = 0;
  ICAMessage message;
  UInt32 result = 0;
};

// An extended event notification: the host's header, then nine 32-bit fields the module fills.
struct ICD_ScannerNotificationPB {
  ICDHeader header;
  ICAObject object = 0;         // the object concerned
  OSType notificationType = 0;  // kICANotificationTypeExtended
  UInt32 notificationField3 = 0;
  UInt32 notificationField4 = 0;
  OSType eventClass = 0;  // kICAMessageDelete or kICAEventObjectAdded
  UInt32 notificationField6 = 0;
  UInt32 notificationField7 = 0;
  UInt32 eventDataCookie = 0;
  ICAObject deviceObject = 0;
};

typedef void (*ICDCompletion)(ICDHeader* header);

// The module's callbacks, in table positions 0 to 20. Positions 1, 12 and 13 are the host's.
struct ICD_ScannerCallbackFunctions {
  ICAError (*scannerOpenDevice)(UInt32 locationID, ScannerObjectInfo* objectInfo);  // 0
  ICAError (*hostReserved1)(void*);                                                 // 1
  ICAError (*scannerCloseDevice)(ScannerObjectInfo* objectInfo);                    // 2
  ICAError (*scannerPeriodicTask)(ScannerObjectInfo* objectInfo);                   // 3
  ICAError (*scannerGetObjectInfo)(const ScannerObjectInfo* parent, UInt32 index,
                                   ScannerObjectInfo* newInfo);  // 4
  ICAError (*scannerCleanup)(ScannerObjectInfo* objectInfo);     // 5
  ICAError (*scannerGetPropertyData)(const ScannerObjectInfo* objectInfo,
                                     ICD_ScannerGetPropertyDataPB* pb);  // 6
  ICAError (*scannerSetPropertyData)(const ScannerObjectInfo* objectInfo,
                                     ICD_ScannerSetPropertyDataPB* pb);  // 7
  ICAError (*scannerReadFileData)(const ScannerObjectInfo* objectInfo, OSType dataType, void* buffer, UInt32 offset,
                                  UInt32* length);  // 8
  ICAError (*scannerWriteFileData)(const ScannerObjectInfo* objectInfo, OSType dataType, void* buffer, UInt32 offset,
                                   UInt32* length);  // 9
  ICAError (*scannerSendMessage)(const ScannerObjectInfo* objectInfo, ICD_ScannerObjectSendMessagePB* pb,
                                 ICDCompletion completion);  // 10
  ICAError (*scannerAddPropertiesToCFDictionary)(const ScannerObjectInfo* objectInfo,
                                                 plist::Dictionary* dict);  // 11
  ICAError (*hostReserved12)(void*);                                        // 12
  ICAError (*hostReserved13)(void*);                                        // 13
  ICAError (*scannerOpenSession)(const ScannerObjectInfo* objectInfo,
                                 ICD_ScannerOpenSessionPB* pb);  // 14
  ICAError (*scannerCloseSession)(const ScannerObjectInfo* objectInfo,
                                  ICD_ScannerCloseSessionPB* pb);  // 15
  ICAError (*scannerInitialize)(const ScannerObjectInfo* objectInfo,
                                ICD_ScannerInitializePB* pb);  // 16
  ICAError (*scannerGetParameters)(const ScannerObjectInfo* objectInfo,
                                   ICD_ScannerGetParametersPB* pb);  // 17
  ICAError (*scannerSetParameters)(const ScannerObjectInfo* objectInfo,
                                   ICD_ScannerSetParametersPB* pb);                         // 18
  ICAError (*scannerStatus)(const ScannerObjectInfo* objectInfo, ICD_ScannerStatusPB* pb);  // 19
  ICAError (*scannerStart)(const ScannerObjectInfo* objectInfo, ICD_ScannerStartPB* pb);    // 20
};
constexpr int kICDScannerCallbackCount = 21;
static_assert(sizeof(ICD_ScannerCallbackFunctions) == kICDScannerCallbackCount * sizeof(void (*)()),
              "one pointer per table position");

// The table the host calls through. The host fills positions 1, 12 and 13 itself.
extern ICD_ScannerCallbackFunctions gICDScannerCallbackFunctions;
// Seconds between two calls of the periodic task.
extern double gTimerValueInSeconds;

// Host calls. Each returns 0 or a host status.

// Asks the host to open the device at `locationID`; the host does so by calling the module's
// open-device callback with that location once the current callback has returned.
ICAError TEMP_NewUSBDevice(UInt32 locationID);
// Tells the host that `parent` has a new child object at `index`. The host makes a record for
// it, asks the module to describe it (get-object-info callback) and returns its reference.
ICAError ICDScannerNewObjectInfoCreated(const ScannerObjectInfo* parent, UInt32 index, ICAObject* newObject);
// The event-data cookie for notifications about `object`.
ICAError ICDScannerCreateEventDataCookie(ICAObject object, UInt32* cookie);
// Delivers a notification block.
ICAError ICDScannerInitiateNotificationCallback(ICD_ScannerNotificationPB* notification);
// The host's own answer to a property request.
ICAError ICDScannerGetStandardPropertyData(const ScannerObjectInfo* objectInfo, ICD_ScannerGetPropertyDataPB* pb);
// The scanner's button at `locationID` was pressed.
ICAError USBDeviceSendScanEventNotification(UInt32 locationID);
// The host's information dictionary for the device called `deviceName`. It holds "icon file",
// the path of the device's icon. *dict is null when the host has none to give.
ICAError ICDScannerCopyDeviceInfoDictionary(const char* deviceName, plist::DictionaryRef* dict);
// Decodes the icon file into `thumbnail`, which must have room for kICAThumbnailRecordSize
// bytes: width and height 48, dataSize 9216 and the RGBA pixels, scaled to 48 x 48.
ICAError ICDScannerCreateICAThumbnailFromICNS(const char* iconFile, ICAThumbnail* thumbnail);

namespace tarvell {
namespace ica {

// The icon the host ships, found beside the installed program or in the source tree;
// "" when none is there.
std::string ShippedIconFile();

// A record for a new object the host knows; it lives until ResetHost.
ScannerObjectInfo* NewObjectRecord();
// The record of `object`, or null.
ScannerObjectInfo* FindObjectRecord(ICAObject object);
// Drops the record of `object` (pointers to it become invalid).
void ForgetObjectRecord(ICAObject object);
// Locations the module asked the host to open and that the host has not opened yet; empties
// the list.
std::vector<UInt32> TakeDeviceRequests();
// The file object announced (ICDScannerNewObjectInfoCreated and described) since the last call,
// or 0; forgets it.
ICAObject TakeAnnouncedFile();

}  // namespace ica
}  // namespace tarvell
