#include "escl/Announcer.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>

#include "host/Log.h"

namespace tarvell::escl {

constexpr char kServiceType[] = "_uscan._tcp";

struct Announcer::Callbacks {
  static void Client(AvahiClient* client, AvahiClientState state, void* self) {
    auto* announcer = static_cast<Announcer*>(self);
    announcer->client_ = client;  // the callback may come before avahi_client_new returns
    switch (state) {
      case AVAHI_CLIENT_S_RUNNING: announcer->Register(); break;
      case AVAHI_CLIENT_S_COLLISION:
      case AVAHI_CLIENT_S_REGISTERING:
        if (announcer->group_) avahi_entry_group_reset(announcer->group_);
        break;
      case AVAHI_CLIENT_FAILURE:
        tarvell::host::Log(tarvell::host::LogLevel::kError,
                           std::string("the Avahi daemon went away: the scanner is no longer announced (") +
                               avahi_strerror(avahi_client_errno(client)) + ")");
        break;
      default: break;
    }
  }
  static void Group(AvahiEntryGroup*, AvahiEntryGroupState state, void* self) {
    auto* announcer = static_cast<Announcer*>(self);
    if (state == AVAHI_ENTRY_GROUP_COLLISION) {
      // Another service has the name on the network: take the next one ("... #2").
      char* next = avahi_alternative_service_name(announcer->name_.c_str());
      announcer->name_ = next;
      avahi_free(next);
      announcer->Register();
    }
  }
};

std::unique_ptr<Announcer> Announcer::Connect(std::string* why) {
  std::unique_ptr<Announcer> announcer(new Announcer());
  announcer->poll_ = avahi_threaded_poll_new();
  if (!announcer->poll_) {
    *why = "out of memory";
    return nullptr;
  }
  int error = 0;
  announcer->client_ = avahi_client_new(avahi_threaded_poll_get(announcer->poll_), AvahiClientFlags(0),
                                        &Callbacks::Client, announcer.get(), &error);
  if (!announcer->client_) {
    *why = avahi_strerror(error);
    return nullptr;
  }
  if (avahi_threaded_poll_start(announcer->poll_) < 0) {
    *why = "cannot start the Avahi thread";
    return nullptr;
  }
  return announcer;
}

Announcer::~Announcer() {
  if (poll_) avahi_threaded_poll_stop(poll_);
  if (client_) avahi_client_free(client_);  // frees the group too
  if (poll_) avahi_threaded_poll_free(poll_);
}

std::string Announcer::HostName() {
  avahi_threaded_poll_lock(poll_);
  const char* name = client_ ? avahi_client_get_host_name_fqdn(client_) : nullptr;
  std::string text = name ? name : "";
  avahi_threaded_poll_unlock(poll_);
  return text;
}

void Announcer::Publish(const ScannerDescription& scanner, uint16_t port, const std::string& iconPath) {
  avahi_threaded_poll_lock(poll_);
  scanner_ = scanner;
  port_ = port;
  iconPath_ = iconPath;
  if (name_.empty()) name_ = scanner.makeAndModel;
  published_ = true;
  Register();
  avahi_threaded_poll_unlock(poll_);
}

void Announcer::Register() {
  if (!published_ || !client_ || avahi_client_get_state(client_) != AVAHI_CLIENT_S_RUNNING) return;
  if (!group_) group_ = avahi_entry_group_new(client_, &Callbacks::Group, this);
  if (!group_) return;
  avahi_entry_group_reset(group_);
  ScannerDescription scanner = scanner_;
  const std::string base =
      "http://" + std::string(avahi_client_get_host_name_fqdn(client_)) + ":" + std::to_string(port_);
  if (!iconPath_.empty()) scanner.iconUrl = base + iconPath_;
  scanner.adminUrl = base + "/";
  AvahiStringList* text = nullptr;
  for (const std::string& entry : AnnouncementText(scanner)) text = avahi_string_list_add(text, entry.c_str());
  int error = avahi_entry_group_add_service_strlst(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                                   name_.c_str(), kServiceType, nullptr, nullptr, port_, text);
  avahi_string_list_free(text);
  if (error == AVAHI_ERR_COLLISION) return Callbacks::Group(group_, AVAHI_ENTRY_GROUP_COLLISION, this);
  if (error == 0) error = avahi_entry_group_commit(group_);
  if (error < 0)
    tarvell::host::Log(tarvell::host::LogLevel::kError,
                       std::string("cannot announce the scanner: ") + avahi_strerror(error));
}

}  // namespace tarvell::escl
