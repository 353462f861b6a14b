// The command-line host: `scanner-module COMMAND [options]`. It chooses the USB bus (real devices
// through libusb, or a simulated scanner), then drives the module through its callbacks in the
// order a real image-capture host does (the host session of platform/ica/HostSteps.h). Its run
// loop is ICD_ScannerMain (declared with the host, platform/ica/ICAHost.h).
//
// Commands and options are tables: a new command is one more HostCommand row (and its options
// more HostOption rows); its handler gets the parsed HostOptions.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/ica/ICAHost.h"
#include "platform/system/Types.h"
#include "sim/SimulatedScanner.h"

namespace tarvell {
namespace usb {
class SimBus;
}

namespace ica {

enum ExitStatus { kExitSuccess = 0, kExitFailure = 1, kExitUsage = 2 };

// Where the simulated scanner sits on the simulated bus (bus 1, port 1).
constexpr UInt32 kSimulatedScannerLocation = 0x01100000;

struct HostOptions {
  std::string program = "scanner-module";  // for messages
  std::string command;
  bool simulate = false;
  bool verbose = false;
  std::optional<UInt32> device;            // --device
  std::optional<SInt32> systemVersion;     // --system-version
  sim::SimulatedScannerOptions simulated;  // where the --simulate scanner sits, and --sim-fault
  // Every option given, by long name ("1" for flags); commands read their own here.
  std::map<std::string, std::string> values;
  std::vector<std::string> operands;  // words after the command
};

struct HostOption {
  const char* longName;   // without "--"
  char shortName;         // 0 when none
  const char* valueName;  // null for a flag
  const char* help;
};

struct HostCommand {
  const char* name;
  const char* synopsis;
  const char* help;
  int (*run)(const HostOptions& options);  // returns the exit status
};

const std::vector<HostOption>& HostOptionTable();
const std::vector<HostCommand>& HostCommandTable();

// Parses argv[1..]. On failure returns false with a message for the user in *error.
bool ParseCommandLine(int argc, char** argv, HostOptions* options, std::string* error);
std::string HelpText(const std::string& program);

// With --simulate the host puts the simulated scanner (options.simulated) on a new simulated bus.
// A test can put something else there instead; null restores the simulated scanner.
using SimulatedScannerMaker = std::function<void(usb::SimBus& bus)>;
void SetSimulatedScannerMaker(SimulatedScannerMaker maker);

// "PROGRAM: message" on standard error, through the doors' one log (ICD_ScannerMain tags it with the
// program's name).
void Complain(const HostOptions& options, const std::string& message);
// Opens the one device a command works on: the --device location, or the first found.
ICAError OpenOneDevice(const HostOptions& options, ScannerObjectInfo** device);
// Says on standard error why OpenOneDevice failed.
void ReportOpenFailure(const HostOptions& options, ICAError err);

// Command handlers, reusable by other commands: report on standard error and return the status.
int RunList(const HostOptions& options);
int RunCaps(const HostOptions& options);
int RunScan(const HostOptions& options);  // cli/ScanCommand.cpp

}  // namespace ica
}  // namespace tarvell
