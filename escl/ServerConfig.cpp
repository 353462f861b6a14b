#include "escl/ServerConfig.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "platform/system/Parse.h"

namespace tarvell::escl {
namespace {

// A numeric address of either family into *out (port 0).
bool NumericAddress(const std::string& host, sockaddr_storage* out) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_family = AF_UNSPEC;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
  std::memcpy(out, found->ai_addr, found->ai_addrlen);
  freeaddrinfo(found);
  return true;
}

bool ParsePort(const std::string& text, uint16_t* port) {
  unsigned long long value = 0;
  if (!tarvell::ParseUnsigned(text, 65535, &value, 10)) return false;
  *port = uint16_t(value);
  return true;
}

// Option names and whether each takes a value.
struct OptionName {
  const char* name;
  bool value;
};
constexpr OptionName kOptions[] = {
    {"listen", true}, {"allow", true},        {"device", true},          {"simulate", false}, {"sim-fault", true},
    {"config", true}, {"no-announce", false}, {"end-at-job-end", false}, {"help", false},     {"version", false},
};

bool ParseDevice(const std::string& text, ServerConfig* config) {
  unsigned long long location = 0;
  if (!tarvell::ParseUnsigned(text, 0xFFFFFFFFull, &location) || location == 0) return false;
  config->device = UInt32(location);
  return true;
}

bool ParseSimOptions(const std::string& text, ServerConfig* config, std::string* why) {
  std::string bad, reason;
  if (tarvell::sim::ParseSimulatedScannerOptions(text, &config->simulated, &bad, &reason)) return true;
  *why = reason.empty() ? "bad simulated scanner option '" + bad + "'" : reason;
  return false;
}

}  // namespace

bool ParseListen(const std::string& text, ListenAddress* out, std::string* why) {
  ListenAddress listen;
  listen.text = text;
  std::string host, port = text;
  const size_t colon = text.rfind(':');
  if (colon != std::string::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (!ParsePort(port, &listen.port)) {
    const bool digits = !port.empty() && port.find_first_not_of("0123456789") == std::string::npos;
    *why = digits ? "port " + port + " is out of range: give a port from 1 to 65535"
                  : "'" + text + "' has no port number: give ADDRESS:PORT, e.g. 127.0.0.1:8090 or [::1]:8090";
    return false;
  }
  if (host.empty() || host == "*") {
    listen.any = true;
  } else if (!NumericAddress(host, &listen.address)) {
    *why = "'" + host + "' is not an IPv4 or IPv6 address";
    return false;
  }
  *out = listen;
  return true;
}

bool ParseAllow(const std::string& text, AllowRule* out, std::string* why) {
  AllowRule rule;
  std::string host = text;
  const size_t slash = text.find('/');
  sockaddr_storage address{};
  if (slash != std::string::npos) host = text.substr(0, slash);
  if (!NumericAddress(host, &address)) {
    *why = "'" + text + "' is not an address or ADDRESS/PREFIX";
    return false;
  }
  rule.family = address.ss_family;
  if (rule.family == AF_INET6) {
    std::memcpy(rule.bytes, &reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr, 16);
    rule.prefix = 128;
  } else {
    std::memcpy(rule.bytes, &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr, 4);
  }
  if (slash != std::string::npos) {
    unsigned long long prefix = 0;
    if (!tarvell::ParseUnsigned(text.substr(slash + 1), rule.prefix, &prefix, 10)) {
      *why = "'" + text + "' has a prefix length beyond " + std::to_string(rule.prefix);
      return false;
    }
    rule.prefix = unsigned(prefix);
  }
  *out = rule;
  return true;
}

bool Allowed(const std::vector<AllowRule>& rules, const sockaddr* peer) {
  if (rules.empty()) return true;
  if (!peer) return false;
  int family = peer->sa_family;
  const uint8_t* bytes = nullptr;
  if (family == AF_INET) {
    bytes = reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in*>(peer)->sin_addr);
  } else if (family == AF_INET6) {
    const in6_addr* v6 = &reinterpret_cast<const sockaddr_in6*>(peer)->sin6_addr;
    bytes = v6->s6_addr;
    if (IN6_IS_ADDR_V4MAPPED(v6)) {
      family = AF_INET;
      bytes += 12;
    }
  } else {
    return false;
  }
  for (const AllowRule& rule : rules) {
    if (rule.family != family) continue;
    const unsigned whole = rule.prefix / 8, rest = rule.prefix % 8;
    if (std::memcmp(rule.bytes, bytes, whole) != 0) continue;
    const uint8_t mask = uint8_t(0xFF00u >> rest);
    if (rest == 0 || ((rule.bytes[whole] ^ bytes[whole]) & mask) == 0) return true;
  }
  return false;
}

void ParseConfigFile(std::istream& in, const std::string& name, ServerConfig* config) {
  tarvell::ReadConfigLines(in, [&](int number, const std::vector<std::string>& word) {
    std::string why;
    const std::string& key = word[0];
    std::string value = word.size() == 2 ? word[1] : "";
    if (key == "listen" && word.size() == 2) {
      ListenAddress listen;
      if (ParseListen(value, &listen, &why)) config->listen.push_back(listen);
    } else if (key == "allow" && word.size() == 2) {
      AllowRule rule;
      if (ParseAllow(value, &rule, &why)) config->allow.push_back(rule);
    } else if (key == "device" && word.size() == 2) {
      if (!ParseDevice(value, config)) why = "'device' takes a USB location such as 0x01400000";
    } else if (key == "simulate") {
      // Its options, as many words as they take.
      value.clear();
      for (size_t i = 1; i < word.size(); ++i) value += word[i] + " ";
      if (ParseSimOptions(value, config, &why)) config->simulate = true;
    } else if (key == "no-announce" && word.size() == 1) {
      config->announce = false;
    } else if (key == "end-at-job-end" && word.size() == 1) {
      config->endAtJobEnd = true;
    } else if (key == "unclaimed-after" && word.size() == 2) {  // not documented: for tests
      unsigned long long seconds = 0;
      if (tarvell::ParseUnsigned(value, 86400, &seconds, 10) && seconds > 0)
        config->unclaimedAfter = std::chrono::seconds(seconds);
      else
        why = "'unclaimed-after' takes seconds";
    } else {
      std::string line = word[0];
      for (size_t i = 1; i < word.size(); ++i) line += " " + word[i];
      why = "'" + line + "' is not a setting";
    }
    if (!why.empty()) config->warnings.push_back(name + ":" + std::to_string(number) + ": " + why + "; line skipped");
  });
}

std::string ConfigFileArgument(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word.rfind("--config=", 0) == 0) return word.substr(9);
    if (word == "--config" && i + 1 < argc) return argv[i + 1];
  }
  return "";
}

Invocation ParseCommandLine(int argc, char** argv, ServerConfig* config, std::string* error) {
  std::vector<ListenAddress> listen;
  std::vector<AllowRule> allow;
  bool help = false, version = false;
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i], value;
    const OptionName* option = nullptr;
    if (word.rfind("--", 0) == 0) {
      const size_t equals = word.find('=');
      const std::string name = word.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
      for (const OptionName& known : kOptions)
        if (name == known.name) option = &known;
      if (option && equals != std::string::npos) {
        if (!option->value) {
          *error = "option '--" + name + "' takes no value";
          return Invocation::kUsageError;
        }
        value = word.substr(equals + 1);
      } else if (option && option->value) {
        if (i + 1 >= argc) {
          *error = "option '" + word + "' needs a value";
          return Invocation::kUsageError;
        }
        value = argv[++i];
      }
    } else if (word == "-h") {
      for (const OptionName& known : kOptions)
        if (std::string(known.name) == "help") option = &known;
    }
    if (!option) {
      *error = "unknown option '" + word + "'";
      return Invocation::kUsageError;
    }
    const std::string name = option->name;
    std::string why;
    if (name == "listen") {
      ListenAddress address;
      // The same address given twice is listened on once.
      const auto same = [&](const ListenAddress& other) {
        return other.port == address.port && other.any == address.any &&
               (address.any || std::memcmp(&other.address, &address.address, sizeof address.address) == 0);
      };
      if (ParseListen(value, &address, &why) && std::none_of(listen.begin(), listen.end(), same))
        listen.push_back(address);
    } else if (name == "allow") {
      AllowRule rule;
      if (ParseAllow(value, &rule, &why)) allow.push_back(rule);
    } else if (name == "device") {
      if (!ParseDevice(value, config)) why = "give a USB location such as 0x01400000";
    } else if (name == "simulate") {
      config->simulate = true;
    } else if (name == "sim-fault") {
      ParseSimOptions(value, config, &why);
    } else if (name == "no-announce") {
      config->announce = false;
    } else if (name == "end-at-job-end") {
      config->endAtJobEnd = true;
    } else if (name == "help") {
      help = true;
    } else if (name == "version") {
      version = true;
    }
    if (!why.empty()) {
      *error = "bad --" + name + " '" + value + "': " + why;
      return Invocation::kUsageError;
    }
  }
  if (!listen.empty()) config->listen = listen;
  if (!allow.empty()) config->allow = allow;
  if (help) return Invocation::kHelp;
  if (version) return Invocation::kVersion;
  return Invocation::kRun;
}

namespace {

// The simulated scanner's items, a few to a line under the option.
std::string SimItemLines() {
  std::string lines, line;
  for (const tarvell::sim::SimulatedScannerItem& item : tarvell::sim::SimulatedScannerItems()) {
    const std::string word = std::string(item.name) + (item.value ? std::string("=") + item.value : "");
    if (!line.empty() && 26 + line.size() + 2 + word.size() > 79) {
      lines += std::string(26, ' ') + line + ",\n";
      line.clear();
    }
    line += (line.empty() ? "" : ", ") + word;
  }
  return lines + std::string(26, ' ') + line + "\n";
}

}  // namespace

std::string HelpText(const std::string& program) {
  return "Usage: " + program +
         " [options]\n\n"
         "Serves the Tarvell K310 (USB) scanner over eSCL (AirScan) on HTTP, so that phones,\n"
         "Windows, macOS and Linux scan from it without a driver.\n\n"
         "Options:\n"
         "  --listen ADDRESS:PORT   listen there (repeatable; [::1]:8090 for IPv6, *:8090 for\n"
         "                          every address); default: every address on port 8090\n"
         "  --allow ADDRESS[/PREFIX]\n"
         "                          only these clients may use the scanner (repeatable); others\n"
         "                          get 403 Forbidden; default: anyone who reaches the port\n"
         "  --device LOCATION       the scanner at this USB location, e.g. 0x01400000\n"
         "  --simulate              serve the simulated scanner instead of a USB one\n"
         "  --sim-fault FAULTS      testing aid: make the simulated scanner misbehave; FAULTS\n"
         "                          is a comma-separated list of:\n" +
         SimItemLines() +
         "  --no-announce           do not announce the scanner over mDNS (Avahi)\n"
         "  --end-at-job-end        end each page at the scanner's end-of-job packet\n"
         "  --config FILE           read FILE instead of tarvell-escl.conf from SANE_CONFIG_DIR\n"
         "                          or /etc/sane.d\n"
         "  -h, --help              show this help and exit\n"
         "  --version               show the version and exit\n";
}

}  // namespace tarvell::escl
