// tarvell-escl: the scanner served over eSCL on HTTP and announced over mDNS. Runs until SIGINT
// or SIGTERM.
#include <libxml/parser.h>
#include <pthread.h>
#include <signal.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

#include "escl/Announcer.h"
#include "escl/HttpServer.h"
#include "escl/ScanService.h"
#include "escl/ServerConfig.h"
#include "host/ConfigSearch.h"
#include "host/Log.h"
#include "platform/ica/ICAHost.h"

namespace {

using namespace tarvell::escl;

constexpr char kProgram[] = "tarvell-escl";

using tarvell::host::LogLevel;

void Say(const std::string& message, LogLevel level = LogLevel::kInfo) { tarvell::host::Log(level, message); }

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return in ? out.str() : "";
}

// The configuration file's settings: --config FILE, else tarvell-escl.conf from SANE_CONFIG_DIR's
// folders or the system's. False when a file named on the command line cannot be read.
bool ReadConfigFile(int argc, char** argv, ServerConfig* config) {
  std::string path = ConfigFileArgument(argc, argv);
  const bool named = !path.empty();
  if (!named)
    for (const std::string& dir :
         tarvell::host::ConfigSearchPath(std::getenv("SANE_CONFIG_DIR"), {TARVELL_ESCL_CONFIG_DIR})) {
      if (std::ifstream(dir + "/" + kConfigFileName)) {
        path = dir + "/" + kConfigFileName;
        break;
      }
    }
  if (path.empty()) return true;
  std::ifstream in(path);
  if (!in) {
    Say("cannot read " + path, LogLevel::kError);
    return !named;
  }
  ParseConfigFile(in, path, config);
  config->path = path;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  tarvell::host::ConfigureLog(std::string(kProgram) + ": ", int(LogLevel::kInfo));
  ServerConfig config;
  if (!ReadConfigFile(argc, argv, &config)) return 2;
  std::string error;
  switch (ParseCommandLine(argc, argv, &config, &error)) {
    case Invocation::kHelp: std::cout << HelpText(kProgram); return 0;
    case Invocation::kVersion: std::cout << kProgram << " " << TARVELL_VERSION << "\n"; return 0;
    case Invocation::kUsageError:
      Say(error, LogLevel::kError);
      Say(std::string("try '") + kProgram + " --help'", LogLevel::kError);
      return 2;
    case Invocation::kRun: break;
  }
  for (const std::string& warning : config.warnings) Say(tarvell::host::Quoted(warning, 300), LogLevel::kError);
  // A rule that cannot be read might leave the scanner open wider than meant: no start.
  for (const std::string& problem : config.errors) Say(tarvell::host::Quoted(problem, 300), LogLevel::kError);
  if (!config.errors.empty()) return 2;

  // Every thread started from here on leaves the stop signals to the main thread.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);
  xmlInitParser();

  std::vector<std::string> problems;
  ScanService service(config, &problems);
  for (const std::string& problem : problems) Say(problem, LogLevel::kError);
  const std::string iconFile = IconFile();
  HttpOptions http;
  http.allow = config.allow;
  http.serverNames = config.serverNames;
  http.limits = config.limits;
  http.icon = iconFile.empty() ? "" : Slurp(iconFile);
  HttpServer server(service, std::move(http));
  std::vector<ListenAddress> listen = config.listen;
  if (listen.empty()) {
    listen.emplace_back();
    listen.back().any = true;
    listen.back().text = "*:" + std::to_string(kDefaultPort);
  }
  for (const ListenAddress& address : listen) {
    if (!server.Listen(address, &error)) {
      Say(error, LogLevel::kError);
      return 1;
    }
  }
  for (const std::string& address : server.addresses()) Say("listening on http://" + address + kRoot);

  std::unique_ptr<Announcer> announcer;
  if (config.announce) {
    announcer = Announcer::Connect(&error);
    if (announcer) {
      // Clients that find the scanner over mDNS call the server by the announced name.
      const std::string name = announcer->HostName();
      if (!name.empty()) server.AddServerName(name);
      service.OnScannerOpened(
          [&](const ScannerDescription& scanner) { announcer->Publish(scanner, server.port(), kIconPath); });
    } else {
      Say("no Avahi daemon (" + error + "): the scanner is not announced; give clients its address");
    }
  }

  int signal = 0;
  sigwait(&stop, &signal);
  Say("stopping");
  service.OnScannerOpened(nullptr);
  service.Shutdown();  // every page being read ends, so the connections can
  return 0;
}
