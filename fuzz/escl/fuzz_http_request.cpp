// What the HTTP side reads of a request itself, and of its settings, as any bytes: the Host and
// Origin checks, the route matcher, the allow rules, server names and limits. Each says yes or no,
// and a yes holds only what it may. The input is fields separated by line feeds: Host, Origin,
// method, path, an allow rule, a server name, limits.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "escl/HttpAccess.h"
#include "escl/HttpRoutes.h"
#include "escl/ServerConfig.h"
#include "host/Log.h"

namespace {

using namespace tarvell::escl;

struct Route {
  const char* method;
  const char* pattern;
};
// The server's routes (escl/HttpServer.cpp).
const Route kRoutes[] = {{"GET", "/eSCL/ScannerCapabilities"},
                         {"GET", "/eSCL/ScannerStatus"},
                         {"POST", "/eSCL/ScanJobs"},
                         {"GET", "/eSCL/ScanJobs/{}/ScanImageInfo"},
                         {"GET", "/eSCL/ScanJobs/{}/NextDocument"},
                         {"DELETE", "/eSCL/ScanJobs/{}"},
                         {"GET", "/icon.png"},
                         {"GET", "/"},
                         {"GET", "/{}"}};

bool OnlyOf(const std::string& text, const char* allowed) {
  return text.find_first_not_of(allowed) == std::string::npos;
}

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> field(7);
  size_t which = 0;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == '\n' && which + 1 < field.size())
      ++which;
    else
      field[which] += char(data[i]);
  }
  const std::string &host = field[0], &origin = field[1], &method = field[2], &path = field[3];

  std::string name;
  unsigned port = 0;
  if (SplitHost(host, &name, &port)) {
    Check(!name.empty() && name.size() <= host.size() && port <= 65535);
    Check(OnlyOf(name, "abcdefghijklmnopqrstuvwxyz0123456789-._:"));
  }
  static ServerNames names({"scan.example"}, "scanhost");
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, "192.0.2.7", &local.sin_addr);
  // The header as libmicrohttpd hands it over: a C string.
  const std::string header = host.c_str();
  const ServerNames::Verdict verdict = names.Check(header.c_str(), reinterpret_cast<const sockaddr*>(&local));
  if (verdict == ServerNames::Verdict::kOwn) Check(SplitHost(header, &name, &port));
  if (SameOrigin(origin, host)) Check(SplitHost(host, &name, &port) && origin.size() > 7);

  const RouteFound found = FindRoute(kRoutes, method, path);
  if (found.result == RouteFound::kFound) {
    Check(found.index < sizeof kRoutes / sizeof kRoutes[0] && method == kRoutes[found.index].method);
    Check(found.param.find('/') == std::string::npos && found.param.size() < path.size());
  }

  std::vector<AllowRule> rules;
  std::string why;
  if (ParseAllow(field[4], &rules, &why)) {
    for (const AllowRule& rule : rules)
      Check((rule.family == AF_INET && rule.prefix <= 32) || (rule.family == AF_INET6 && rule.prefix <= 128));
    Allowed(rules, reinterpret_cast<const sockaddr*>(&local));
  } else {
    Check(!why.empty() && rules.empty());
  }
  std::string server;
  if (ParseServerName(field[5], &server, &why))
    Check(!server.empty() && server.size() <= 253 && OnlyOf(server, "abcdefghijklmnopqrstuvwxyz0123456789-."));
  HttpLimits limits;
  if (ParseLimits(field[6], &limits, &why))
    Check(limits.perClient > 0 && limits.connections > 0 && limits.request.count() > 0 && limits.stalled.count() > 0);

  // What goes into a log line of the client's text: short and printable.
  const std::string quoted = tarvell::host::Quoted(host, 64);
  Check(quoted.size() <= 4 * 64 + 3);
  for (const char c : quoted) Check(c >= 0x20 && c < 0x7f);
  return 0;
}
