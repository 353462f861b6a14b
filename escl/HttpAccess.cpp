#include "escl/HttpAccess.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace tarvell::escl {
namespace {

// Interfaces are read again for an unknown address at most this often, so that a stream of
// requests naming strangers costs no system calls.
constexpr auto kReadInterfacesEvery = std::chrono::seconds(2);

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

bool Digits(std::string_view text) {
  return !text.empty() && text.size() <= 5 && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// An IPv4 or IPv6 address in numeric form as AddressText gives it; "" when `text` is neither.
std::string CanonicalAddress(const std::string& text) {
  sockaddr_storage address{};
  if (inet_pton(AF_INET, text.c_str(), &reinterpret_cast<sockaddr_in*>(&address)->sin_addr) == 1) {
    address.ss_family = AF_INET;
  } else if (inet_pton(AF_INET6, text.c_str(), &reinterpret_cast<sockaddr_in6*>(&address)->sin6_addr) == 1) {
    address.ss_family = AF_INET6;
  } else {
    return "";
  }
  return AddressText(reinterpret_cast<const sockaddr*>(&address));
}

bool Loopback(const std::string& address) { return address == "::1" || address.compare(0, 4, "127.") == 0; }

}  // namespace

bool SplitHost(std::string_view header, std::string* name, unsigned* port) {
  std::string_view host = header, digits;
  if (host.find('\0') != std::string_view::npos) return false;
  if (!host.empty() && host.front() == '[') {
    const size_t close = host.find(']');
    if (close == std::string_view::npos) return false;
    std::string address(host.substr(1, close - 1));
    const std::string_view rest = host.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return false;
      digits = rest.substr(1);
      if (!Digits(digits)) return false;
    }
    const size_t zone = address.find('%');  // RFC 6874: "%25" and the zone
    if (zone != std::string::npos) {
      if (address.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._~%", zone) !=
          std::string::npos)
        return false;
      address.resize(zone);
    }
    in6_addr v6;
    if (inet_pton(AF_INET6, address.c_str(), &v6) != 1) return false;
    *name = Lower(address);
  } else {
    const size_t colon = host.rfind(':');
    if (colon != std::string_view::npos) {
      digits = host.substr(colon + 1);
      host = host.substr(0, colon);
      if (!Digits(digits)) return false;
    }
    if (!host.empty() && host.back() == '.') host.remove_suffix(1);
    if (host.empty() || host.size() > 253 ||
        host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._") !=
            std::string_view::npos)
      return false;
    *name = Lower(host);
  }
  unsigned long value = 0;
  for (const char c : digits) value = value * 10 + unsigned(c - '0');
  if (value > 65535) return false;
  *port = unsigned(value);
  return true;
}

bool SameOrigin(std::string_view origin, std::string_view host) {
  constexpr std::string_view kScheme = "http://";
  if (origin.size() <= kScheme.size() || Lower(origin.substr(0, kScheme.size())) != kScheme) return false;
  std::string originName, hostName;
  unsigned originPort = 0, hostPort = 0;
  if (!SplitHost(origin.substr(kScheme.size()), &originName, &originPort) || !SplitHost(host, &hostName, &hostPort))
    return false;
  return originName == hostName && (originPort ? originPort : 80) == (hostPort ? hostPort : 80);
}

std::string AddressText(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (!address) return text;
  if (address->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
  } else if (address->sa_family == AF_INET6) {
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&v6))
      inet_ntop(AF_INET, v6.s6_addr + 12, text, sizeof text);
    else
      inet_ntop(AF_INET6, &v6, text, sizeof text);
  }
  return text;
}

std::string ClientKey(const sockaddr* address) {
  if (address && address->sa_family == AF_INET6) {
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    if (!IN6_IS_ADDR_V4MAPPED(&v6)) return std::string(reinterpret_cast<const char*>(v6.s6_addr), 8) + "/64";
  }
  return AddressText(address);
}

ServerNames::ServerNames(const std::vector<std::string>& names, std::string hostName) {
  if (hostName.empty()) {
    char buffer[256] = {};
    if (gethostname(buffer, sizeof buffer - 1) == 0) hostName = buffer;
  }
  hostName = Lower(hostName);
  names_ = names;
  names_.push_back("localhost");
  if (!hostName.empty()) {
    const std::string shortName = hostName.substr(0, hostName.find('.'));
    for (const std::string& name : {hostName, shortName, shortName + ".local"}) names_.push_back(name);
  }
}

void ServerNames::Add(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string lower = Lower(name);
  if (!lower.empty() && lower.back() == '.') lower.pop_back();
  if (std::find(names_.begin(), names_.end(), lower) == names_.end()) names_.push_back(lower);
}

ServerNames::Verdict ServerNames::Check(const char* host, const sockaddr* local) {
  if (!host) return Verdict::kMissing;
  std::string name;
  unsigned port = 0;
  if (!SplitHost(host, &name, &port)) return Verdict::kMalformed;
  const std::string address = CanonicalAddress(name);
  if (!address.empty()) return OwnAddress(address, local) ? Verdict::kOwn : Verdict::kForeign;
  std::lock_guard<std::mutex> lock(mutex_);
  return std::find(names_.begin(), names_.end(), name) != names_.end() ? Verdict::kOwn : Verdict::kForeign;
}

bool ServerNames::OwnAddress(const std::string& address, const sockaddr* local) {
  if (Loopback(address) || (local && AddressText(local) == address)) return true;
  std::lock_guard<std::mutex> lock(mutex_);
  if (std::find(addresses_.begin(), addresses_.end(), address) != addresses_.end()) return true;
  // An address the interfaces did not have when last read: read them again, now and then.
  const auto now = std::chrono::steady_clock::now();
  if (readAt_ != std::chrono::steady_clock::time_point() && now - readAt_ < kReadInterfacesEvery) return false;
  readAt_ = now;
  addresses_.clear();
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  for (const ifaddrs* at = list; at; at = at->ifa_next)
    if (at->ifa_addr && (at->ifa_addr->sa_family == AF_INET || at->ifa_addr->sa_family == AF_INET6))
      addresses_.push_back(AddressText(at->ifa_addr));
  freeifaddrs(list);
  return std::find(addresses_.begin(), addresses_.end(), address) != addresses_.end();
}

}  // namespace tarvell::escl
