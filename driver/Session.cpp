// Opening, initialising and closing a session, and the scanner's status.
#include "driver/CallbackGuard.h"
#include "driver/ScannerCallbacks.h"
#include "platform/system/Log.h"

namespace {

// Puts the scanner into one-bit line art, the state a new session starts in.
ICAError ApplySessionDefaults(CSimpleScanner* scanner) {
  ScanningParamBlock block;
  ICAError err = scanner->GetScanningParameters(&block);
  if (err != noErr) return err;
  block.colorMode = 0;
  block.dataFormat = 1;
  return scanner->SetScanningParameters(&block);
}

}  // namespace

ICAError _ICD_ScannerOpenSession(const ScannerObjectInfo* objectInfo, ICD_ScannerOpenSessionPB*) {
  return GuardCallback([&]() -> ICAError {
    BridgeNSLog("_ICD_ScannerOpenSession()");
    CSimpleScanner* scanner = ScannerFromRecord(objectInfo);
    if (scanner == nullptr) return paramErr;
    scanner->m_scanAreas.reset();
    scanner->m_scanAreaCount = 0;
    if (scanner->InitializeScanner() != noErr) {
      ICAError err = scanner->InitializeScanner();
      if (err != noErr) return err;
    }
    ICAError err = static_cast<ICAError>(scanner->GetResolutions());
    if (err != noErr) return err;
    return ApplySessionDefaults(scanner);
  });
}

ICAError _ICD_ScannerInitialize(const ScannerObjectInfo* objectInfo, ICD_ScannerInitializePB*) {
  return GuardCallback([&]() -> ICAError {
    BridgeNSLog("_ICD_ScannerInitialize()");
    CSimpleScanner* scanner = ScannerFromRecord(objectInfo);
    if (scanner == nullptr) return paramErr;
    ICAError err = scanner->InitializeScanner();
    if (err != noErr) return err;
    return ApplySessionDefaults(scanner);
  });
}

ICAError _ICD_ScannerCloseSession(const ScannerObjectInfo* objectInfo, ICD_ScannerCloseSessionPB*) {
  return GuardCallback([&]() -> ICAError {
    BridgeNSLog("_ICD_ScannerCloseSession()");
    CSimpleScanner* scanner = ScannerFromRecord(objectInfo);
    if (scanner == nullptr) return paramErr;
    scanner->m_scanAreas.reset();
    scanner->m_scanAreaCount = 0;
    return noErr;
  });
}

ICAError _ICD_ScannerStatus(const ScannerObjectInfo* objectInfo, ICD_ScannerStatusPB*) {
  return GuardCallback([&]() -> ICAError {
    BridgeNSLog("_ICD_ScannerStatus()");
    CSimpleScanner* scanner = ScannerFromRecord(objectInfo);
    if (scanner == nullptr) return paramErr;
    return scanner->GetStatus();
  });
}
