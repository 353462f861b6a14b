#include "driver/ScannerCallbacks.h"
#include "platform/ica/CommandLineHost.h"
#ifdef TARVELL_HAVE_SIMULATED_SCANNER
#include "sim/SimulatedScanner.h"
#endif

int main(int argc, char** argv) {
#ifdef TARVELL_HAVE_SIMULATED_SCANNER
  // With --simulate the host's bus carries a scanner that speaks the device's protocol.
  tarvell::ica::SetSimulatedScannerMaker(
      [](tarvell::usb::SimBus& bus) { tarvell::sim::InstallSimulatedScanner(bus); });
#endif
  return DriverMain(argc, argv);
}
