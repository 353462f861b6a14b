// The HTTP side of the server (libmicrohttpd): one daemon per address listened on, a thread per
// connection so that a NextDocument request may wait for the scanner while others are answered,
// the --allow rules, request bodies read up to their limit, and the routes of the eSCL resources
// under /eSCL plus the icon.
#pragma once

#include <string>
#include <vector>

#include "escl/ScanService.h"
#include "escl/ServerConfig.h"
#include "escl/WebPage.h"

struct MHD_Daemon;

namespace tarvell::escl {

class HttpServer {
 public:
  // `icon` is the PNG served at kIconPath ("" for none).
  HttpServer(ScanService& service, std::vector<AllowRule> allow, std::string icon);
  // Stops listening and waits for every connection to end.
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Starts listening on `address`; false with *why when that cannot be done.
  bool Listen(const ListenAddress& address, std::string* why);
  // Where it listens, as "ADDRESS:PORT" ("[ADDRESS]:PORT" for IPv6), in the order of Listen.
  const std::vector<std::string>& addresses() const { return addresses_; }
  // The port of the first address (for the announcement); 0 before Listen.
  uint16_t port() const { return port_; }

 private:
  struct Callbacks;  // libmicrohttpd's, in the source file
  friend struct Callbacks;

  ScanService& service_;
  std::vector<AllowRule> allow_;
  std::string icon_;
  WebPage web_;
  std::vector<MHD_Daemon*> daemons_;
  std::vector<std::string> addresses_;
  uint16_t port_ = 0;
};

}  // namespace tarvell::escl
