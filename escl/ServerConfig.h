// What tarvell-escl is told: where it listens, which scanner it serves, who may use it and
// whether it announces itself. The same settings come from the command line and from
// tarvell-escl.conf, read from the folders in SANE_CONFIG_DIR, then /etc/sane.d:
//
//   # comments and blank lines are allowed
//   listen 127.0.0.1:8090      an address and port to listen on (repeatable; [::1]:8090 for IPv6,
//                              *:8090 for every address, IPv4 and IPv6)
//   allow 192.168.1.0/24       who may use the scanner (repeatable; without it, anyone)
//   device 0x01400000          the scanner at this USB location (default: the first found)
//   simulate [OPTION,...]      the simulated scanner, misbehaving as the options say
//   no-announce                no mDNS announcement
//   end-at-job-end             end each page at the scanner's end-of-job packet
//
// A setting given on the command line replaces the file's (listen and allow lines as a whole).
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "platform/system/Types.h"
#include "sim/SimulatedScanner.h"

namespace tarvell::escl {

constexpr char kConfigFileName[] = "tarvell-escl.conf";
constexpr uint16_t kDefaultPort = 8090;

// One address to listen on; `any` listens on every address, IPv6 and IPv4 alike.
struct ListenAddress {
  bool any = false;
  sockaddr_storage address{};
  uint16_t port = kDefaultPort;  // 0: one the system picks
  std::string text;              // as given
};

// An address and how many of its leading bits must match.
struct AllowRule {
  int family = AF_INET;
  uint8_t bytes[16] = {};
  unsigned prefix = 32;
};

struct ServerConfig {
  std::vector<ListenAddress> listen;  // empty: every address on kDefaultPort
  std::vector<AllowRule> allow;       // empty: everyone
  std::optional<UInt32> device;
  bool simulate = false;
  tarvell::sim::SimulatedScannerOptions simulated;
  bool announce = true;
  bool endAtJobEnd = false;
  // A job whose page nobody has asked for in this long is cancelled.
  std::chrono::seconds unclaimedAfter{60};
  std::string path;                   // the configuration file read, if any
  std::vector<std::string> warnings;  // "FILE:LINE: why" for lines that were skipped
};

// "ADDRESS:PORT", "[IPV6]:PORT", "*:PORT" or "PORT" (every address). False with *why.
bool ParseListen(const std::string& text, ListenAddress* out, std::string* why);
// "ADDRESS" or "ADDRESS/PREFIX", IPv4 or IPv6. False with *why.
bool ParseAllow(const std::string& text, AllowRule* out, std::string* why);
// Whether `peer` may use the scanner (an IPv4 client seen on an IPv6 socket counts as IPv4).
bool Allowed(const std::vector<AllowRule>& rules, const sockaddr* peer);

// Reads a configuration file into *config; lines not understood are skipped with a warning.
void ParseConfigFile(std::istream& in, const std::string& name, ServerConfig* config);

enum class Invocation { kRun, kHelp, kVersion, kUsageError };
// Parses argv[1..] over the configuration file's settings in *config. kUsageError with a message
// in *error.
Invocation ParseCommandLine(int argc, char** argv, ServerConfig* config, std::string* error);
std::string HelpText(const std::string& program);
// Whether argv asks for a particular configuration file (--config FILE); "" when not.
std::string ConfigFileArgument(int argc, char** argv);

}  // namespace tarvell::escl
