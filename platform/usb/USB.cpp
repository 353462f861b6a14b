#include "platform/usb/USB.h"

#include "platform/system/Parse.h"

#include <cstdio>
#include <utility>

namespace tarvell {
namespace usb {
namespace {

// The bus in use before the host chooses one: it has no registry.
class NoBus : public Bus {
 public:
  IOReturn CreateMasterPort(std::unique_ptr<MasterPort>* out) override {
    out->reset();
    return kIOReturnNoResources;
  }
};

std::shared_ptr<Bus>& Active() {
  static std::shared_ptr<Bus> bus;
  return bus;
}

}  // namespace

void SetActiveBus(std::shared_ptr<Bus> bus) { Active() = std::move(bus); }

std::shared_ptr<Bus> ActiveBus() {
  if (!Active()) Active() = std::make_shared<NoBus>();
  return Active();
}

std::string StatusText(IOReturn status) {
  const char* what = "I/O error";
  switch (status) {
    case kIOReturnSuccess: what = "success"; break;
    case kIOReturnError: what = "general failure"; break;
    case kIOReturnNoMemory: what = "out of memory"; break;
    case kIOReturnNoResources: what = "no USB access"; break;
    case kIOReturnNoDevice: what = "device gone"; break;
    case kIOReturnBadArgument: what = "bad argument"; break;
    case kIOReturnExclusiveAccess: what = "device busy"; break;
    case kIOReturnUnsupported: what = "unsupported"; break;
    case kIOReturnNotOpen: what = "not open"; break;
    case kIOReturnNotPermitted: what = "access denied"; break;
    case kIOReturnTimeout: what = "timed out"; break;
    case kIOReturnOverrun: what = "overrun"; break;
    case kIOReturnAborted: what = "aborted"; break;
    case kIOUSBPipeStalled: what = "pipe stalled"; break;
    default: break;
  }
  char text[64];
  std::snprintf(text, sizeof text, "%s (0x%08x)", what, unsigned(status));
  return text;
}

bool MasterPort::CreateMatching(const char* className, MatchingDictionary* out) {
  if (!className || !out) return false;
  out->className = className;
  out->locationID = 0;
  return true;
}

}  // namespace usb
}  // namespace tarvell
