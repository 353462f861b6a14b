// Test hooks of the image-capture host stand-in: what the host calls were given, failures on
// demand, and a reset between tests. Production code never includes this header.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/ica/ICAHost.h"
#include "platform/system/FaultInjection.h"

namespace tarvell {
namespace ica {

// The host calls, as fault-injection targets.
enum class HostCall {
  kNewUSBDevice,
  kNewObjectInfoCreated,
  kCreateEventDataCookie,
  kInitiateNotification,
  kGetStandardPropertyData,
  kSendScanEventNotification,
  kCopyDeviceInfoDictionary,
  kCreateThumbnail,
};

// What the host calls were given, in order. Each list keeps only its newest kMaxRecorded
// entries, so a host that runs for days does not pile them up.
constexpr size_t kMaxRecorded = 4096;
struct HostRecord {
  struct NewObject {
    ICAObject parent;
    UInt32 index;
    ICAObject object;    // 0 when the call failed
    ICAError described;  // what the get-object-info callback returned
  };
  std::vector<UInt32> newUSBDevice;  // TEMP_NewUSBDevice locations
  std::vector<NewObject> newObjects;
  std::vector<ICAObject> cookies;                        // objects a cookie was made for
  std::vector<ICD_ScannerNotificationPB> notifications;  // copies of the delivered blocks
  std::vector<ICAObject> propertyRequests;
  std::vector<UInt32> scanEvents;               // button locations
  std::vector<std::string> deviceInfoRequests;  // device names
  std::vector<std::string> thumbnailRequests;   // icon files
};
const HostRecord& Recorded();

// The information dictionary: comes back null (missing = true), or with "icon file" set to
// `iconFile` (std::nullopt: the icon the host ships; "" an empty entry).
void SetDeviceInfo(bool missing, std::optional<std::string> iconFile = std::nullopt);

// Forgets records, objects, requests, faults and device-info settings. The callback table is
// left alone.
void ResetHost();

}  // namespace ica
}  // namespace tarvell

namespace tarvell::testing {
// The host call returns `status`.
void FailNext(ica::HostCall call, int n, ICAError status, Fails how = Fails::kOnce);
}  // namespace tarvell::testing
