#include "platform/system/SystemInfo.h"

#include <unistd.h>

#include <climits>

namespace {
SInt32 gVersion = kDefaultSystemVersion;
tarvell::testing::FaultPoint gQueryFault;
std::optional<std::tm> gFixedTime;

constexpr OSErr kUnknownSelectorErr = -5551;
}  // namespace

OSErr QuerySystemInfo(OSType selector, SInt32* response) {
  if (response == nullptr) return paramErr;
  if (selector != kSystemVersionSelector || gQueryFault.Fire()) return kUnknownSelectorErr;
  *response = gVersion;
  return noErr;
}

SInt32 HostSystemVersion() {
  SInt32 version = kDefaultSystemVersion;
  return QuerySystemInfo(kSystemVersionSelector, &version) == noErr ? version : kDefaultSystemVersion;
}

std::tm CurrentLocalTime() {
  if (gFixedTime) return *gFixedTime;
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

namespace tarvell {
void SetSystemVersion(SInt32 version) { gVersion = version; }
void SetFixedLocalTime(std::optional<std::tm> when) { gFixedTime = when; }

std::string ProgramDirectory() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  path[n] = '\0';
  std::string full(path);
  size_t slash = full.rfind('/');
  return slash == std::string::npos ? "" : full.substr(0, slash);
}
}  // namespace tarvell

void tarvell::testing::FailNext(SystemCall, int n, Fails how) { gQueryFault.Arm(n, how); }
