// What `main` does; in a file of its own so that a host without the run loop (the
// scanner-access backend) links the callbacks without it.
#include "driver/ScannerCallbacks.h"
#include "platform/system/Log.h"

int DriverMain(int argc, char** argv) {
  gTimerValueInSeconds = 1.0;
  BridgeNSLog("main()");
  RegisterScannerCallbacks();
  return ICD_ScannerMain(argc, argv);
}
