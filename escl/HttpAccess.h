// Who may use the server, and by which names, as the HTTP side decides it before a request does
// anything: the names a request's Host header may give (so that a web page elsewhere cannot reach
// the server through a name of its own that points here, DNS rebinding), whether an Origin header
// is the server's own (so that a page of another origin cannot start a scan or take a page), and
// the key under which a client's connections are counted. The text parsing here reads what
// clients send: fuzz/escl/fuzz_http_request.cpp feeds it anything.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tarvell::escl {

// A Host header (or an Origin's authority) split into its name and port: the name in lower case
// without a final dot, an IPv6 address without its brackets and zone ("[fe80::1%25eth0]" gives
// "fe80::1"), the port 0 when none is given. False for anything that is not a host and an
// optional port.
bool SplitHost(std::string_view header, std::string* name, unsigned* port);

// Whether an Origin header names the origin `host` (a Host header) gives the server: scheme http,
// the same name, the same port (80 when none is given).
bool SameOrigin(std::string_view origin, std::string_view host);

// A peer's address as text; an IPv4 client seen on an IPv6 socket as IPv4.
std::string AddressText(const sockaddr* address);
// The key under which a peer's connections are counted: its IPv4 address, or the /64 prefix of
// its IPv6 address (one host picks freely among the addresses of its network).
std::string ClientKey(const sockaddr* address);

// The names this server answers to: localhost, this machine's host name and HOSTNAME.local, names
// added (--server-name, the name the Avahi daemon announces), the loopback addresses and every
// address of this machine. Safe to use from any thread.
class ServerNames {
 public:
  enum class Verdict {
    kOwn,        // a name of this server
    kMissing,    // no Host header
    kMalformed,  // not a host and an optional port
    kForeign,    // another server's name
  };

  // `hostName` is this machine's (gethostname() when empty).
  explicit ServerNames(const std::vector<std::string>& names, std::string hostName = "");
  // Adds a name (in lower case).
  void Add(const std::string& name);
  // Checks a Host header (null when the request had none); `local` is the address the client
  // reached, which is this machine's whatever the interfaces say.
  Verdict Check(const char* host, const sockaddr* local);

 private:
  // Whether `address` (a numeric address) is one of this machine's.
  bool OwnAddress(const std::string& address, const sockaddr* local);

  std::mutex mutex_;
  std::vector<std::string> names_;
  std::vector<std::string> addresses_;  // this machine's, as AddressText gives them
  std::chrono::steady_clock::time_point readAt_{};
};

}  // namespace tarvell::escl
