// What tarvell-escl is told: where it listens, which scanner it serves, who may use it and
// whether it announces itself. The same settings come from the command line and from
// tarvell-escl.conf, read from the folders in SANE_CONFIG_DIR, then /etc/sane.d:
//
//   # comments and blank lines are allowed
//   listen 127.0.0.1:8090      an address and port to listen on (repeatable; [::1]:8090 for IPv6,
//                              *:8090 for every address, IPv4 and IPv6)
//   allow 192.168.1.0/24       who may use the scanner (repeatable; `allow any` for everyone;
//                              without it, this machine and the private and link-local ranges)
//   server-name scan.example   a name clients may call the server by, besides its own host name,
//                              its addresses and localhost (repeatable)
//   limits per-client=8        how much one client and all of them may hold (see HttpLimits)
//   device 0x01400000          the scanner at this USB location (default: the first found)
//   simulate [OPTION,...]      the simulated scanner, misbehaving as the options say
//   no-announce                no mDNS announcement
//   end-at-job-end             end each page at the scanner's end-of-job packet
//
// A setting given on the command line replaces the file's (listen, allow and server-name lines as
// a whole).
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

// An address and how many of its leading bits must match. A rule written as an IPv4-mapped IPv6
// address (::ffff:192.168.1.0/120) is kept as the IPv4 rule it means.
struct AllowRule {
  int family = AF_INET;
  uint8_t bytes[16] = {};
  unsigned prefix = 32;
};

// What the HTTP side lets one client, and all of them, hold.
struct HttpLimits {
  unsigned perClient = 8;            // connections from one client (an IPv6 /64 is one client)
  unsigned connections = 200;        // connections in all, on each address listened on
  std::chrono::seconds request{10};  // from the connection (or the end of the last reply) to the
                                     // request's last byte, however it trickles in
  std::chrono::seconds stalled{15};  // a page reader that takes nothing this long loses the page (the
                                     // scanner's own no-data time-out)
};

struct ServerConfig {
  std::vector<ListenAddress> listen;     // empty: every address on kDefaultPort
  std::vector<AllowRule> allow;          // empty: DefaultAllowRules()
  std::vector<std::string> serverNames;  // lower case
  HttpLimits limits;
  std::optional<UInt32> device;
  bool simulate = false;
  tarvell::sim::SimulatedScannerOptions simulated;
  bool announce = true;
  bool endAtJobEnd = false;
  // A job whose page nobody has asked for in this long is cancelled.
  std::chrono::seconds unclaimedAfter{60};
  std::string path;                   // the configuration file read, if any
  std::vector<std::string> warnings;  // "FILE:LINE: why" for lines that were skipped
  std::vector<std::string> errors;    // "FILE:LINE: why" for lines that stop the start (a bad allow)
};

// "ADDRESS:PORT", "[IPV6]:PORT", "*:PORT" or "PORT" (every address). False with *why.
bool ParseListen(const std::string& text, ListenAddress* out, std::string* why);
// "ADDRESS" or "ADDRESS/PREFIX", IPv4 (four decimal numbers: no short or octal forms) or IPv6, or
// "any" (every address of both families, as two rules). False with *why.
bool ParseAllow(const std::string& text, std::vector<AllowRule>* out, std::string* why);
// Who may scan when no rule is given: this machine (127.0.0.0/8, ::1), the private IPv4 ranges
// (10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16), IPv6 link-local (fe80::/10) and unique-local
// (fc00::/7) addresses.
const std::vector<AllowRule>& DefaultAllowRules();
// Whether `peer` may use the scanner under `rules` (DefaultAllowRules() when empty). An IPv4
// client seen on an IPv6 socket counts as IPv4.
bool Allowed(const std::vector<AllowRule>& rules, const sockaddr* peer);
// A name a client may call the server by: letters, digits, '-' and '.', at most 253 bytes; false
// with *why. *out is the name in lower case, without a final dot.
bool ParseServerName(const std::string& text, std::string* out, std::string* why);
// "per-client=N,connections=N,request-seconds=N,stalled-seconds=N", any of them, over *limits.
bool ParseLimits(const std::string& text, HttpLimits* limits, std::string* why);

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
