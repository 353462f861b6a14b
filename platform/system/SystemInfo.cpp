#include "platform/system/SystemInfo.h"

namespace {
SInt32 gVersion = kDefaultSystemVersion;
bool gQueryFails = false;
std::optional<std::tm> gFixedTime;

constexpr OSErr kUnknownSelectorErr = -5551;
}  // namespace

OSErr QuerySystemInfo(OSType selector, SInt32* response) {
  if (response == nullptr) return paramErr;
  if (selector != kSystemVersionSelector || gQueryFails) return kUnknownSelectorErr;
  *response = gVersion;
  return noErr;
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
void SetSystemVersionQueryFails(bool fails) { gQueryFails = fails; }
void SetFixedLocalTime(std::optional<std::tm> when) { gFixedTime = when; }
}  // namespace tarvell
