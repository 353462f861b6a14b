#include "driver/ScannerCallbacks.h"

void RegisterScannerCallbacks() {
  ICD_ScannerCallbackFunctions& table = gICDScannerCallbackFunctions;
  table.scannerOpenDevice = _ICD_ScannerOpenDevice;                                    // 0
  table.scannerCloseDevice = _ICD_ScannerCloseDevice;                                  // 2
  table.scannerPeriodicTask = _ICD_ScannerPeriodicTask;                                // 3
  table.scannerGetObjectInfo = _ICD_ScannerGetObjectInfo;                              // 4
  table.scannerCleanup = _ICD_ScannerCleanup;                                          // 5
  table.scannerGetPropertyData = _ICD_ScannerGetPropertyData;                          // 6
  table.scannerSetPropertyData = _ICD_ScannerSetPropertyData;                          // 7
  table.scannerReadFileData = _ICD_ScannerReadFileData;                                // 8
  table.scannerWriteFileData = _ICD_ScannerWriteFileData;                              // 9
  table.scannerSendMessage = _ICD_ScannerSendMessage;                                  // 10
  table.scannerAddPropertiesToCFDictionary = _ICD_ScannerAddPropertiesToCFDictionary;  // 11
  table.scannerOpenSession = _ICD_ScannerOpenSession;                                  // 14
  table.scannerCloseSession = _ICD_ScannerCloseSession;                                // 15
  table.scannerInitialize = _ICD_ScannerInitialize;                                    // 16
  table.scannerGetParameters = _ICD_ScannerGetParameters;                              // 17
  table.scannerSetParameters = _ICD_ScannerSetParameters;                              // 18
  table.scannerStatus = _ICD_ScannerStatus;                                            // 19
  table.scannerStart = _ICD_ScannerStart;                                              // 20
}
