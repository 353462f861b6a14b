#include "platform/ica/HostSteps.h"

#include <algorithm>

namespace tarvell {
namespace ica {
namespace {

// More devices than any bus carries; a module that keeps asking for new ones is stopped here.
constexpr int kMaxSearches = 64;

}  // namespace

ICAError OpenDeviceAt(UInt32 locationID, ScannerObjectInfo** device) {
  auto open = gICDScannerCallbackFunctions.scannerOpenDevice;
  if (!open) return unimpErr;
  ScannerObjectInfo* record = NewObjectRecord();
  ICAError err = open(locationID, record);
  if (err != noErr) {
    ForgetObjectRecord(record->icaObject);
    return err;
  }
  if (device) *device = record;
  return noErr;
}

ICAError OpenFoundDevices(bool all, std::vector<ScannerObjectInfo*>* opened) {
  auto open = gICDScannerCallbackFunctions.scannerOpenDevice;
  if (!open) return unimpErr;
  ICAError last = fnfErr;
  bool any = false;
  TakeDeviceRequests();  // requests left from before are not this search's
  for (int search = 0; search < kMaxSearches; ++search) {
    ScannerObjectInfo probe;
    open(0, &probe);  // opens nothing itself: the module asks back for what it found
    std::vector<UInt32> requests = TakeDeviceRequests();
    if (requests.empty()) break;
    bool openedOne = false;
    for (UInt32 location : requests) {
      ScannerObjectInfo* record = nullptr;
      ICAError err = OpenDeviceAt(location, &record);
      if (err != noErr) {
        last = err;
        continue;
      }
      any = openedOne = true;
      if (opened) opened->push_back(record);
    }
    // A device that failed to open would be found again: stop rather than loop on it.
    if (!all || !openedOne) break;
  }
  return any ? ICAError(noErr) : last;
}

ICAError OpenSession(ScannerObjectInfo* device) {
  auto call = gICDScannerCallbackFunctions.scannerOpenSession;
  if (!call) return unimpErr;
  ICD_ScannerOpenSessionPB pb;
  pb.object = device ? device->icaObject : 0;
  return call(device, &pb);
}

ICAError CloseSession(ScannerObjectInfo* device) {
  auto call = gICDScannerCallbackFunctions.scannerCloseSession;
  if (!call) return unimpErr;
  ICD_ScannerCloseSessionPB pb;
  pb.object = device ? device->icaObject : 0;
  return call(device, &pb);
}

ICAError GetParameters(ScannerObjectInfo* device, plist::DictionaryRef* dict) {
  auto call = gICDScannerCallbackFunctions.scannerGetParameters;
  if (!call) return unimpErr;
  ICD_ScannerGetParametersPB pb;
  pb.object = device ? device->icaObject : 0;
  pb.theDict = plist::MakeDictionary();
  if (!pb.theDict) return memFullErr;
  ICAError err = call(device, &pb);
  if (dict) *dict = pb.theDict;
  return err;
}

ICAError SetParameters(ScannerObjectInfo* device, const plist::DictionaryRef& dict) {
  auto call = gICDScannerCallbackFunctions.scannerSetParameters;
  if (!call) return unimpErr;
  ICD_ScannerSetParametersPB pb;
  pb.object = device ? device->icaObject : 0;
  pb.theDict = dict;
  return call(device, &pb);
}

ICAError Start(ScannerObjectInfo* device, ScannerObjectInfo** file) {
  if (file) *file = nullptr;
  auto call = gICDScannerCallbackFunctions.scannerStart;
  if (!call) return unimpErr;
  TakeAnnouncedFile();  // one announced before is not this scan's
  ICD_ScannerStartPB pb;
  pb.object = device ? device->icaObject : 0;
  const ICAError err = call(device, &pb);
  const ICAObject announced = TakeAnnouncedFile();
  if (file && announced) *file = FindObjectRecord(announced);
  return err;
}

ICAError ReadWholeFile(const ScannerObjectInfo* file, const FileSink& sink, UInt32 piece) {
  auto read = gICDScannerCallbackFunctions.scannerReadFileData;
  if (!read) return unimpErr;
  std::vector<UInt8> buffer(std::min<UInt32>(std::max<UInt32>(piece, 1), std::max<UInt32>(file->dataSize, 1)));
  for (UInt32 offset = 0; offset < file->dataSize;) {
    UInt32 count = std::min<UInt32>(UInt32(buffer.size()), file->dataSize - offset);
    if (ICAError err = read(file, kICAFile, buffer.data(), offset, &count)) return err;
    if (count == 0 || !sink(buffer.data(), count))
      return count == 0 ? ICAError(kICAIndexOutOfRangeErr) : kFileSinkFailed;
    offset += count;
  }
  return noErr;
}

ICAError ReadFileData(ScannerObjectInfo* object, OSType dataType, void* buffer, UInt32 offset, UInt32* length) {
  auto call = gICDScannerCallbackFunctions.scannerReadFileData;
  if (!call) return unimpErr;
  return call(object, dataType, buffer, offset, length);
}

ICAError DeleteFile(ScannerObjectInfo* file) {
  auto call = gICDScannerCallbackFunctions.scannerSendMessage;
  if (!call) return unimpErr;
  ICD_ScannerObjectSendMessagePB pb;
  pb.object = file ? file->icaObject : 0;
  pb.message.messageType = kICAMessageDelete;
  const ICAError err = call(file, &pb, nullptr);
  if (file) ForgetObjectRecord(file->icaObject);
  return err;
}

ICAError CloseDevice(ScannerObjectInfo* device) {
  auto cleanup = gICDScannerCallbackFunctions.scannerCleanup;
  auto close = gICDScannerCallbackFunctions.scannerCloseDevice;
  if (!close) return unimpErr;
  if (cleanup) cleanup(device);
  ICAError err = close(device);
  if (device) ForgetObjectRecord(device->icaObject);
  return err;
}

}  // namespace ica
}  // namespace tarvell
