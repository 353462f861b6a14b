#include "driver/ScannerCallbacks.h"

int main(int argc, char** argv) { return DriverMain(argc, argv); }
