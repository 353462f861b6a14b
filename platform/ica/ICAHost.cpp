#include "platform/ica/ICAHost.h"

#include "platform/ica/HostInternal.h"
#include "platform/ica/ICAHostTesting.h"

#include <map>
#include <memory>

namespace {

// The host's own entries at positions 1, 12 and 13.
ICAError HostReservedCallback(void*) { return unimpErr; }

struct HostState {
  tarvell::ica::HostRecord record;
  std::map<tarvell::ica::HostCall, std::pair<tarvell::testing::FaultPoint, ICAError>> faults;
  std::map<ICAObject, std::unique_ptr<ScannerObjectInfo>> objects;
  ICAObject nextObject = 0x100;
  UInt32 nextCookie = 1;
  std::vector<UInt32> deviceRequests;
  bool deviceInfoMissing = false;
  std::optional<std::string> iconFile;
  ICAObject announcedFile = 0;
};

HostState& State() {
  static HostState state;
  return state;
}

// Appends to a record list, dropping the older half once it is full.
template <class T, class U>
void Record(std::vector<T>& list, const U& entry) {
  if (list.size() >= tarvell::ica::kMaxRecorded) list.erase(list.begin(), list.begin() + list.size() / 2);
  list.push_back(T(entry));
}

}  // namespace

namespace tarvell {
namespace ica {
namespace internal {

ICAError Fault(HostCall call) {
  auto it = State().faults.find(call);
  return it != State().faults.end() && it->second.first.Fire() ? it->second.second : ICAError(noErr);
}

void RecordThumbnailRequest(const std::string& iconFile) { Record(State().record.thumbnailRequests, iconFile); }

}  // namespace internal
}  // namespace ica
}  // namespace tarvell

using tarvell::ica::internal::Fault;

ICD_ScannerCallbackFunctions gICDScannerCallbackFunctions = [] {
  ICD_ScannerCallbackFunctions table{};
  table.hostReserved1 = HostReservedCallback;
  table.hostReserved12 = HostReservedCallback;
  table.hostReserved13 = HostReservedCallback;
  return table;
}();

double gTimerValueInSeconds = 0.0;

ICAError TEMP_NewUSBDevice(UInt32 locationID) {
  Record(State().record.newUSBDevice, locationID);
  if (ICAError err = Fault(tarvell::ica::HostCall::kNewUSBDevice)) return err;
  State().deviceRequests.push_back(locationID);
  return noErr;
}

ICAError ICDScannerNewObjectInfoCreated(const ScannerObjectInfo* parent, UInt32 index, ICAObject* newObject) {
  tarvell::ica::HostRecord::NewObject entry{parent ? parent->icaObject : 0, index, 0, noErr};
  ICAError err = Fault(tarvell::ica::HostCall::kNewObjectInfoCreated);
  if (err == noErr && (parent == nullptr || newObject == nullptr)) err = paramErr;
  if (err != noErr) {
    entry.described = err;
    Record(State().record.newObjects, entry);
    return err;
  }
  ScannerObjectInfo* info = tarvell::ica::NewObjectRecord();
  entry.object = info->icaObject;
  *newObject = info->icaObject;
  // The host asks for the new object's description at once.
  auto describe = gICDScannerCallbackFunctions.scannerGetObjectInfo;
  entry.described = describe ? describe(parent, index, info) : unimpErr;
  if (entry.described == noErr && info->objectType == kICAFile) State().announcedFile = info->icaObject;
  Record(State().record.newObjects, entry);
  return noErr;
}

ICAError ICDScannerCreateEventDataCookie(ICAObject object, UInt32* cookie) {
  Record(State().record.cookies, object);
  if (ICAError err = Fault(tarvell::ica::HostCall::kCreateEventDataCookie)) return err;
  if (cookie == nullptr) return paramErr;
  *cookie = 0xC0000000u | State().nextCookie++;
  return noErr;
}

ICAError ICDScannerInitiateNotificationCallback(ICD_ScannerNotificationPB* notification) {
  if (notification == nullptr) return paramErr;
  Record(State().record.notifications, *notification);
  return Fault(tarvell::ica::HostCall::kInitiateNotification);
}

ICAError ICDScannerGetStandardPropertyData(const ScannerObjectInfo* objectInfo, ICD_ScannerGetPropertyDataPB* pb) {
  Record(State().record.propertyRequests, objectInfo ? objectInfo->icaObject : 0);
  if (ICAError err = Fault(tarvell::ica::HostCall::kGetStandardPropertyData)) return err;
  if (objectInfo == nullptr || pb == nullptr) return paramErr;
  // This host keeps no standard properties of its own: it answers with no data.
  pb->actualSize = 0;
  return noErr;
}

ICAError USBDeviceSendScanEventNotification(UInt32 locationID) {
  Record(State().record.scanEvents, locationID);
  return Fault(tarvell::ica::HostCall::kSendScanEventNotification);
}

ICAError ICDScannerCopyDeviceInfoDictionary(const char* deviceName, plist::DictionaryRef* dict) {
  Record(State().record.deviceInfoRequests, deviceName ? deviceName : "");
  if (dict == nullptr) return paramErr;
  *dict = nullptr;
  if (ICAError err = Fault(tarvell::ica::HostCall::kCopyDeviceInfoDictionary)) return err;
  if (State().deviceInfoMissing) return noErr;
  plist::DictionaryRef info = plist::MakeDictionary();
  if (!info) return memFullErr;
  info->Set("device name", plist::MakeString(deviceName ? deviceName : ""));
  info->Set("icon file", plist::MakeString(State().iconFile ? *State().iconFile : tarvell::ica::ShippedIconFile()));
  *dict = info;
  return noErr;
}

namespace tarvell {
namespace ica {

const HostRecord& Recorded() { return State().record; }

void SetDeviceInfo(bool missing, std::optional<std::string> iconFile) {
  State().deviceInfoMissing = missing;
  State().iconFile = std::move(iconFile);
}

ScannerObjectInfo* NewObjectRecord() {
  auto info = std::make_unique<ScannerObjectInfo>();
  info->icaObject = State().nextObject++;
  ScannerObjectInfo* raw = info.get();
  State().objects[raw->icaObject] = std::move(info);
  return raw;
}

ScannerObjectInfo* FindObjectRecord(ICAObject object) {
  auto it = State().objects.find(object);
  return it == State().objects.end() ? nullptr : it->second.get();
}

void ForgetObjectRecord(ICAObject object) { State().objects.erase(object); }

std::vector<UInt32> TakeDeviceRequests() {
  std::vector<UInt32> requests;
  requests.swap(State().deviceRequests);
  return requests;
}

ICAObject TakeAnnouncedFile() {
  ICAObject object = State().announcedFile;
  State().announcedFile = 0;
  return object;
}

void ResetHost() { State() = HostState(); }

}  // namespace ica
}  // namespace tarvell

void tarvell::testing::FailNext(ica::HostCall call, int n, ICAError status, Fails how) {
  auto& fault = State().faults[call];
  fault.first.Arm(status == noErr ? 0 : n, how);
  fault.second = status;
}
