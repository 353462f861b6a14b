#include "cli/CommandLineHost.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>

#include "cli/OutputFile.h"
#include "host/HostBus.h"
#include "host/Log.h"
#include "host/Scanners.h"
#include "platform/ica/HostSteps.h"
#include "platform/ica/ICAHost.h"
#include "platform/system/Log.h"
#include "platform/system/Parse.h"
#include "platform/system/SystemInfo.h"

namespace tarvell {
namespace ica {
namespace {

SimulatedScannerMaker& Maker() {
  static SimulatedScannerMaker maker;
  return maker;
}

// While a capture is replayed, complaints wait for the end of the run: when the replay stopped on a
// write that differed, that is the cause and the command's failure only its consequence.
std::vector<std::string>* gHeldComplaints = nullptr;

bool ParseUInt32(const std::string& text, UInt32* out) {
  unsigned long long value = 0;
  if (!ParseUnsigned(text, 0xFFFFFFFFull, &value)) return false;
  *out = static_cast<UInt32>(value);
  return true;
}

}  // namespace

void Complain(const HostOptions&, const std::string& message) {
  if (gHeldComplaints)
    gHeldComplaints->push_back(message);
  else
    host::Log(host::LogLevel::kError, message);
}

ICAError OpenOneDevice(const HostOptions& options, ScannerObjectInfo** device) {
  if (options.device) return OpenDeviceAt(*options.device, device);
  std::vector<ScannerObjectInfo*> opened;
  ICAError err = OpenFoundDevices(false, &opened);
  if (err == noErr) *device = opened.front();
  return err;
}

void ReportOpenFailure(const HostOptions& options, ICAError err) {
  Complain(options, host::WhyOpenFailed(options.device.value_or(0), err).message);
}

const std::vector<HostOption>& HostOptionTable() {
  static const std::string simFaultHelp =
      "testing aid: make the --simulate scanner misbehave or run in real time; FAULTS is a "
      "comma-separated list of " +
      sim::SimulatedScannerItemList();
  static const std::string outputHelp =
      "scan: write the image to FILE (default: the name the driver gives); its extension, one of " +
      OutputFormatList(true) + ", gives the format";
  static const std::string formatHelp = "scan: " + OutputFormatList(false) + ", whatever FILE's extension";
  static const std::vector<HostOption> table = {
      {"simulate", 0, nullptr, "use the simulated scanner instead of real USB devices"},
      {"device", 0, "LOCATION", "a specific device: its USB location, e.g. 0x01100000"},
      {"system-version", 0, "VERSION",
       "the system version the host reports, in BCD (default 0x1039); up to 0x102F selects the "
       "flat capability dictionary, e.g. 0x1028"},
      {"verbose", 'v', nullptr, "show the driver's log lines on standard error"},
      {"output", 'o', "FILE", outputHelp.c_str()},
      {"format", 0, "FORMAT", formatHelp.c_str()},
      {"mode", 0, "MODE", "scan: Lineart, Gray or Color (default Color)"},
      {"resolution", 0, "DPI", "scan: dots per inch, 75 to 600 (default 300)"},
      {"left", 'l', "MM", "scan: left edge of the area in millimetres (default 0)"},
      {"top", 't', "MM", "scan: top edge of the area in millimetres (default 0)"},
      {"width", 'x', "MM", "scan: width of the area in millimetres (default 215.9, letter)"},
      {"height", 'y', "MM", "scan: height of the area in millimetres (default 279.4, letter)"},
      {"scale", 0, "PERCENT", "scan: scale, 10 to 1000 (default 100)"},
      {"progress", 0, nullptr, "scan: show bytes received of bytes expected on standard error"},
      {"end-at-job-end", 0, nullptr,
       "scan: end the page at the scanner's end-of-job packet instead of its 15 s no-data "
       "time-out after the last byte"},
      {"sim-fault", 0, "FAULTS", simFaultHelp.c_str()},
      {"capture", 0, "FILE",
       "record every USB transfer of the run to FILE, a pcap capture (usbmon) that Wireshark and "
       "--replay read"},
      {"replay", 0, "FILE[@BUS.DEV]",
       "play a capture as the scanner instead of a USB bus (BUS.DEV names the scanner in a "
       "capture without its descriptors); the first write that differs from the capture stops it"},
      {"version", 0, nullptr, "print the version and exit"},
      {"help", 'h', nullptr, "show this help and exit"},
  };
  return table;
}

const std::vector<HostCommand>& HostCommandTable() {
  static const std::vector<HostCommand> table = {
      {"list", "list", "search the bus, open every scanner found and print it", RunList},
      {"caps", "caps", "print the capability dictionary of the scanner", RunCaps},
      {"scan", "scan [options] [-o FILE]",
       "scan one area (default: colour, 300 dpi, letter) and write it (TIFF unless FILE says otherwise)", RunScan},
  };
  return table;
}

namespace {

// "  NAME   help text" with the help wrapped at 79 columns in a column of its own.
std::string HelpEntry(const std::string& name, const std::string& help) {
  constexpr size_t kColumn = 28;
  constexpr size_t kWidth = 79;
  std::string out = "  " + name;
  if (out.size() + 1 > kColumn)
    out += "\n" + std::string(kColumn, ' ');
  else
    out += std::string(kColumn - out.size(), ' ');
  size_t lineLength = kColumn;
  std::istringstream words(help);
  std::string word;
  bool first = true;
  while (words >> word) {
    if (!first && lineLength + 1 + word.size() > kWidth) {
      out += "\n" + std::string(kColumn, ' ');
      lineLength = kColumn;
      first = true;
    }
    if (!first) {
      out += ' ';
      ++lineLength;
    }
    out += word;
    lineLength += word.size();
    first = false;
  }
  return out + "\n";
}

}  // namespace

std::string HelpText(const std::string& program) {
  std::ostringstream out;
  out << "Usage: " << program << " COMMAND [options]\n\n"
      << "Drives a Tarvell K310 (USB) scanner the way the image-capture host does.\n\n"
      << "Commands:\n";
  for (const HostCommand& command : HostCommandTable()) out << HelpEntry(command.synopsis, command.help);
  out << "\nOptions:\n";
  for (const HostOption& option : HostOptionTable()) {
    std::string names = option.shortName ? std::string("-") + option.shortName + ", " : "    ";
    names += std::string("--") + option.longName;
    if (option.valueName) names += std::string(" ") + option.valueName;
    out << HelpEntry(names, option.help);
  }
  out << "\nExit status: 0 on success, 1 when the scanner or the driver fails, 2 for a bad\n"
         "command line.\n";
  return out.str();
}

bool ParseCommandLine(int argc, char** argv, HostOptions* options, std::string* error) {
  if (argc > 0 && argv[0] && argv[0][0]) {
    std::string program = argv[0];
    size_t slash = program.rfind('/');
    options->program = slash == std::string::npos ? program : program.substr(slash + 1);
  }
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i] ? argv[i] : "";
    if (!optionsEnded && word == "--") {
      optionsEnded = true;
      continue;
    }
    if (optionsEnded || word.size() < 2 || word[0] != '-') {
      if (options->command.empty())
        options->command = word;
      else
        options->operands.push_back(word);
      continue;
    }
    // --name, --name=value, -x, -x value
    const HostOption* found = nullptr;
    std::string value;
    bool hasValue = false;
    if (word.compare(0, 2, "--") == 0) {
      std::string name = word.substr(2);
      size_t equals = name.find('=');
      if (equals != std::string::npos) {
        value = name.substr(equals + 1);
        name = name.substr(0, equals);
        hasValue = true;
      }
      for (const HostOption& option : HostOptionTable())
        if (name == option.longName) found = &option;
    } else if (word.size() == 2) {
      for (const HostOption& option : HostOptionTable())
        if (option.shortName && word[1] == option.shortName) found = &option;
    }
    if (!found) {
      *error = "unknown option '" + word + "'";
      return false;
    }
    if (found->valueName) {
      if (!hasValue) {
        if (i + 1 >= argc || argv[i + 1] == nullptr) {
          *error = "option '" + word + "' needs a value (" + found->valueName + ")";
          return false;
        }
        value = argv[++i];
      }
    } else if (hasValue) {
      *error = "option '--" + std::string(found->longName) + "' takes no value";
      return false;
    } else {
      value = "1";
    }
    options->values[found->longName] = value;
  }

  auto has = [&](const char* name) { return options->values.count(name) != 0; };
  options->simulate = has("simulate");
  options->verbose = has("verbose");
  if (has("device")) {
    UInt32 location = 0;
    if (!ParseUInt32(options->values["device"], &location) || location == 0) {
      *error = "bad --device '" + options->values["device"] + "': give a USB location such as 0x01100000";
      return false;
    }
    options->device = location;
  }
  if (has("system-version")) {
    UInt32 version = 0;
    if (!ParseUInt32(options->values["system-version"], &version) || version > 0x7FFFFFFF) {
      *error = "bad --system-version '" + options->values["system-version"] + "': give a BCD version such as 0x1039";
      return false;
    }
    options->systemVersion = static_cast<SInt32>(version);
  }
  if (has("sim-fault")) {
    std::string bad, why;
    if (!sim::ParseSimulatedScannerOptions(options->values["sim-fault"], &options->simulated, &bad, &why)) {
      const std::string name = bad.substr(0, bad.find('='));
      bool known = false;
      for (const sim::SimulatedScannerItem& item : sim::SimulatedScannerItems()) known |= name == item.name;
      *error =
          "bad --sim-fault item '" + bad + "': " + (known ? why : "the items are " + sim::SimulatedScannerItemList());
      return false;
    }
  }
  if (has("simulate") && has("replay")) {
    *error = "--simulate and --replay each give the scanner: use one";
    return false;
  }
  if (has("help") || has("version")) return true;
  if (options->command.empty()) {
    *error = "no command given";
    return false;
  }
  bool known = false;
  for (const HostCommand& command : HostCommandTable()) known |= options->command == command.name;
  if (!known) {
    *error = "unknown command '" + options->command + "'";
    return false;
  }
  return true;
}

void SetSimulatedScannerMaker(SimulatedScannerMaker maker) { Maker() = std::move(maker); }

int RunList(const HostOptions& options) {
  if (!options.operands.empty()) {
    Complain(options, "list takes no operands");
    return kExitUsage;
  }
  std::vector<ScannerObjectInfo*> opened;
  ICAError err = noErr;
  if (options.device) {
    ScannerObjectInfo* device = nullptr;
    err = OpenDeviceAt(*options.device, &device);
    if (err == noErr) opened.push_back(device);
  } else {
    err = OpenFoundDevices(true, &opened);
  }
  if (err != noErr) {
    ReportOpenFailure(options, err);
    return kExitFailure;
  }
  for (ScannerObjectInfo* device : opened)
    std::cout << "location " << Hex32(device->uniqueID) << ": " << device->name << "\n";
  for (ScannerObjectInfo* device : opened) CloseDevice(device);
  return kExitSuccess;
}

int RunCaps(const HostOptions& options) {
  if (!options.operands.empty()) {
    Complain(options, "caps takes no operands");
    return kExitUsage;
  }
  ScannerObjectInfo* device = nullptr;
  ICAError err = OpenOneDevice(options, &device);
  if (err != noErr) {
    ReportOpenFailure(options, err);
    return kExitFailure;
  }
  int status = kExitSuccess;
  plist::DictionaryRef dict;
  if ((err = OpenSession(device)) != noErr) {
    Complain(options, "opening a session failed (status " + std::to_string(err) + ")");
    status = kExitFailure;
  } else {
    if ((err = GetParameters(device, &dict)) != noErr) {
      Complain(options, "reading the capabilities failed (status " + std::to_string(err) + ")");
      status = kExitFailure;
    } else if (!dict || !dict->Has("device")) {
      Complain(options, "the driver gave no capabilities");
      status = kExitFailure;
    } else {
      std::cout << plist::Describe(dict) << "\n";
    }
    CloseSession(device);
  }
  CloseDevice(device);
  return status;
}

}  // namespace ica
}  // namespace tarvell

int ICD_ScannerMain(int argc, char** argv) {
  using namespace tarvell::ica;
  HostOptions options;
  std::string error;
  const bool parsed = ParseCommandLine(argc, argv, &options, &error);
  // The doors' one log, led by the program's name: refusals always, the driver's lines with -v.
  tarvell::host::ConfigureLog(options.program + ": ",
                              int(options.verbose ? tarvell::host::LogLevel::kDriver : tarvell::host::LogLevel::kInfo));
  if (!parsed) {
    Complain(options, error);
    std::cerr << "Try '" << options.program << " --help'.\n";
    return kExitUsage;
  }
  if (options.values.count("help")) {
    std::cout << HelpText(options.program);
    return kExitSuccess;
  }
  if (options.values.count("version")) {
    std::cout << options.program << " " TARVELL_VERSION "\n";
    return kExitSuccess;
  }

  // What the host changes for this run, restored when it ends (tests run several in a process).
  tarvell::LogSink previousSink;
  if (options.verbose) {
    previousSink = tarvell::SetLogSink({});
    tarvell::LogToStandardError();
  }
  SInt32 previousVersion = 0;
  const bool hadVersion = QuerySystemInfo(kSystemVersionSelector, &previousVersion) == noErr;
  if (options.systemVersion) tarvell::SetSystemVersion(*options.systemVersion);
  tarvell::host::BusChoice choice;
  if (options.values.count("replay")) choice.replay = options.values.at("replay");
  if (options.values.count("capture")) choice.capture = options.values.at("capture");
  if (options.simulate && Maker())
    choice.populate = Maker();
  else if (options.simulate)
    choice.simulated = {options.simulated};

  int status = kExitFailure;
  {
    std::vector<std::string> problems, held;
    if (!choice.replay.empty()) gHeldComplaints = &held;
    std::unique_ptr<tarvell::host::HostBus> bus = tarvell::host::HostBus::Install(choice, &problems);
    if (!problems.empty()) {
      for (const std::string& problem : problems) Complain(options, problem);
    } else {
      for (const HostCommand& command : HostCommandTable())
        if (options.command == command.name) status = command.run(options);
    }
    problems.clear();
    gHeldComplaints = nullptr;
    if (!bus->Finish(&problems)) {
      for (const std::string& problem : problems) Complain(options, problem);
      status = kExitFailure;
    } else {
      for (const std::string& complaint : held) Complain(options, complaint);
    }
  }

  if (hadVersion) tarvell::SetSystemVersion(previousVersion);
  if (options.verbose) tarvell::SetLogSink(std::move(previousSink));
  return status;
}
