// The scanner announced over mDNS as an eSCL service (_uscan._tcp) through the Avahi daemon, so
// that phones and computers on the network find it. Without a daemon nothing is announced and the
// server goes on.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "escl/Documents.h"

struct AvahiClient;
struct AvahiEntryGroup;
struct AvahiThreadedPoll;

namespace tarvell::escl {

class Announcer {
 public:
  // Connects to the Avahi daemon; null with *why when there is none to reach.
  static std::unique_ptr<Announcer> Connect(std::string* why);
  ~Announcer();
  Announcer(const Announcer&) = delete;
  Announcer& operator=(const Announcer&) = delete;

  // The name the daemon announces this machine by ("host.local"); "" when it has none.
  std::string HostName();
  // Announces (or announces again, with what has changed) `scanner` on `port`, its icon at
  // `iconPath` on this host.
  void Publish(const ScannerDescription& scanner, uint16_t port, const std::string& iconPath);

 private:
  struct Callbacks;
  friend struct Callbacks;
  Announcer() = default;
  // On the poll's thread (or with it locked).
  void Register();

  AvahiThreadedPoll* poll_ = nullptr;
  AvahiClient* client_ = nullptr;
  AvahiEntryGroup* group_ = nullptr;
  bool published_ = false;
  ScannerDescription scanner_;
  uint16_t port_ = 0;
  std::string iconPath_;
  std::string name_;  // the service name, changed after a collision
};

}  // namespace tarvell::escl
