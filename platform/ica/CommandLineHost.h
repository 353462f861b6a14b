// The command-line host: `scanner-module COMMAND [options]`. It chooses the USB bus (real devices
// through libusb, or a simulated scanner), then drives the module through its callbacks in the
// order a real image-capture host does (platform/ica/HostSteps.h).
//
// Commands and options are tables: a new command is one more HostCommand row (and its options
// more HostOption rows); its handler gets the parsed HostOptions.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/system/Types.h"

// The host's run loop: parses the command line, runs the command and returns the exit status.
int ICD_ScannerMain(int argc, char** argv);

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
  // Every option given, by long name ("1" for flags); commands read their own here.
  std::map<std::string, std::string> values;
  std::vector<std::string> operands;       // words after the command
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

// Puts the simulated scanner on a new simulated bus (with --simulate). The default plugs a K310
// at kSimulatedScannerLocation with no behaviour (its pipes time out); the simulated scanner's
// protocol peer replaces it.
using SimulatedScannerMaker = std::function<void(usb::SimBus& bus)>;
void SetSimulatedScannerMaker(SimulatedScannerMaker maker);
// The options of the command line ICD_ScannerMain is running (all empty outside it), for makers
// that read their own options (--sim-fault).
const HostOptions& RunningHostOptions();

// Command handlers, reusable by other commands: report on standard error and return the status.
int RunList(const HostOptions& options);
int RunCaps(const HostOptions& options);

}  // namespace ica
}  // namespace tarvell
