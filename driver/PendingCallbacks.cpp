// Callbacks whose work arrives with scan start and file delivery. Until then each answers that it
// is not implemented; the files that bring them replace this one.
#include "driver/ScannerCallbacks.h"
#include "platform/system/Log.h"

ICAError _ICD_ScannerStart(const ScannerObjectInfo*, ICD_ScannerStartPB*) {
  BridgeNSLog("_ICD_ScannerStart()");
  return unimpErr;
}

ICAError _ICD_ScannerGetObjectInfo(const ScannerObjectInfo*, UInt32, ScannerObjectInfo*) {
  BridgeNSLog("_ICD_ScannerGetObjectInfo()");
  return unimpErr;
}

ICAError _ICD_ScannerReadFileData(const ScannerObjectInfo*, OSType, void*, UInt32, UInt32*) {
  BridgeNSLog("_ICD_ScannerReadFileData()");
  return unimpErr;
}

ICAError _ICD_ScannerWriteFileData(const ScannerObjectInfo*, OSType, void*, UInt32, UInt32*) {
  BridgeNSLog("_ICD_ScannerWriteFileData()");
  return unimpErr;
}

ICAError _ICD_ScannerGetPropertyData(const ScannerObjectInfo*, ICD_ScannerGetPropertyDataPB*) {
  BridgeNSLog("_ICD_ScannerGetPropertyData()");
  return unimpErr;
}

ICAError _ICD_ScannerSetPropertyData(const ScannerObjectInfo*, ICD_ScannerSetPropertyDataPB*) {
  BridgeNSLog("_ICD_ScannerSetPropertyData()");
  return unimpErr;
}

ICAError _ICD_ScannerSendMessage(const ScannerObjectInfo*, ICD_ScannerObjectSendMessagePB*,
                                 ICDCompletion) {
  BridgeNSLog("_ICD_ScannerSendMessage()");
  return unimpErr;
}

ICAError _ICD_ScannerAddPropertiesToCFDictionary(const ScannerObjectInfo*, plist::Dictionary*) {
  BridgeNSLog("_ICD_ScannerAddPropertiesToCFDictionary()");
  return unimpErr;
}

ICAError _ICD_ScannerPeriodicTask(ScannerObjectInfo*) { return unimpErr; }
