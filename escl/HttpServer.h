// The HTTP side of the server (libmicrohttpd). One event-loop thread per address listened on
// serves every connection, so an idle or slow connection costs a socket and a little memory, not
// a thread. What may wait (the scan service: the scanner, its lock) runs on a few worker threads
// while its connection is suspended, and a page whose next rows have not come suspends its
// connection until they do. Around that:
//
// - who may connect (the allow rules, DefaultAllowRules() when none are given) and how many
//   connections a client and all of them may hold, decided when the connection is accepted,
//   before a byte is read;
// - a deadline for each request's headers and body, counted from the connection (or the end of
//   the last reply), that no trickle of bytes extends; a page reader that takes nothing for the
//   stall limit loses the page, which frees the scanner;
// - only the server's own names in Host (HttpAccess.h), only its own origin in Origin; a body
//   past kMaxScanSettingsBytes, chunked or not, answered 413 as it passes the limit;
// - the routes of the eSCL resources under /eSCL plus the icon, as a table;
// - one log line for every request or connection refused.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "escl/ScanService.h"
#include "escl/ServerConfig.h"

namespace tarvell::escl {

struct HttpOptions {
  std::vector<AllowRule> allow;          // empty: DefaultAllowRules()
  std::vector<std::string> serverNames;  // besides the machine's own names and addresses
  HttpLimits limits;
  std::string icon;  // the PNG served at kIconPath ("" for none)
};

class HttpServer {
 public:
  HttpServer(ScanService& service, HttpOptions options);
  // Stops listening; requests being answered end first, pages being sent are cut off.
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Starts listening on `address`; false with *why when that cannot be done.
  bool Listen(const ListenAddress& address, std::string* why);
  // One more name clients may call the server by (the one announced over mDNS).
  void AddServerName(const std::string& name);
  // Where it listens, as "ADDRESS:PORT" ("[ADDRESS]:PORT" for IPv6), in the order of Listen.
  const std::vector<std::string>& addresses() const;
  // The port of the first address (for the announcement); 0 before Listen.
  uint16_t port() const;

  struct Impl;  // in the source file

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace tarvell::escl
