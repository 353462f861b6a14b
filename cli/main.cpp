// scanner-module: the driver's entry point, with this program's command line as the host.
#include "driver/ScannerCallbacks.h"

int main(int argc, char** argv) { return DriverMain(argc, argv); }
